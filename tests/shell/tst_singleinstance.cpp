#include "shell/singleinstance.h"

#include <QProcess>
#include <QtTest>

#include <csignal>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

class tst_SingleInstance : public QObject
{
    Q_OBJECT

    QString m_key = QStringLiteral("Kavo.Test.%1").arg(QCoreApplication::applicationPid());
    QList<QProcess *> m_holders;
    // Every guard file and socket of this test goes here rather than into the shared /tmp; the
    // other account's holders write here too.
    QTemporaryDir m_temp;

    static QString holderPath()
    {
        return QCoreApplication::applicationDirPath() + QStringLiteral("/singleinstance_holder");
    }

    // Starts a holder (as another user through runuser when asUser is set) and reads its result.
    QProcess *startHolder(const QStringList &arguments, int *result, const QString &asUser = QString())
    {
        auto *holder = new QProcess(this);
        m_holders.append(holder);
        if (asUser.isEmpty())
            holder->start(holderPath(), arguments);
        else
            holder->start(QStringLiteral("runuser"),
                          QStringList{QStringLiteral("-u"), asUser, QStringLiteral("--"), holderPath()} + arguments);
        if (!holder->waitForStarted() || !holder->waitForReadyRead(10000))
            return nullptr;
        *result = holder->readLine().trimmed().toInt();
        return holder;
    }

    // Points the runtime and temporary folders elsewhere until the returned guard goes;
    // an empty runtime folder unsets it.
    static auto setRuntimeFolders(const QByteArray &runtime, const QByteArray &temp)
    {
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        const bool hadRuntime = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
        const QByteArray savedTemp = qgetenv("TMPDIR");
        const bool hadTemp = qEnvironmentVariableIsSet("TMPDIR");
        runtime.isEmpty() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", runtime);
        if (!temp.isEmpty())
            qputenv("TMPDIR", temp);
        return qScopeGuard([=] {
            hadRuntime ? qputenv("XDG_RUNTIME_DIR", savedRuntime) : qunsetenv("XDG_RUNTIME_DIR");
            hadTemp ? qputenv("TMPDIR", savedTemp) : qunsetenv("TMPDIR");
        });
    }

    static void end(QProcess *holder)
    {
        holder->terminate();
        holder->waitForFinished(5000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_temp.isValid());
        QVERIFY(::chmod(QFile::encodeName(m_temp.path()).constData(), 01777) == 0);
        qputenv("TMPDIR", m_temp.path().toLocal8Bit());
        qunsetenv("XDG_RUNTIME_DIR");
    }

    void cleanup()
    {
        for (QProcess *holder : std::as_const(m_holders)) {
            holder->kill();
            holder->waitForFinished(5000);
        }
        qDeleteAll(m_holders);
        m_holders.clear();
    }

    void liveHolderBlocksOthers()
    {
        int result = -1;
        QProcess *holder = startHolder({m_key}, &result);
        QVERIFY(holder);
        QCOMPARE(result, int(SingleInstance::Acquired));
        SingleInstance second;
        QCOMPARE(second.acquire(m_key), SingleInstance::AlreadyRunning);
        end(holder);
    }

    void guardOfKilledHolderIsReleased()
    {
        int result = -1;
        QProcess *holder = startHolder({m_key}, &result);
        QVERIFY(holder);
        QCOMPARE(result, int(SingleInstance::Acquired));
        ::kill(pid_t(holder->processId()), SIGKILL);
        QVERIFY(holder->waitForFinished(5000));
        SingleInstance next;
        QCOMPARE(next.acquire(m_key), SingleInstance::Acquired);
        SingleInstance third;
        QCOMPARE(third.acquire(m_key), SingleInstance::AlreadyRunning);
    }

    // What someone else put under the guard's name in the shared temporary folder is never
    // followed or locked: the start fails with a reason, and the thing stays as it was.
    void guardFileThatIsNotOursIsRefused_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::newRow("a link to a file of this user") << "link";
        QTest::newRow("a file of another account") << "foreign file";
        QTest::newRow("a folder") << "folder";
    }
    void guardFileThatIsNotOursIsRefused()
    {
        QFETCH(QString, planted);
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        const auto restore = setRuntimeFolders(QByteArray(), temp.path().toLocal8Bit());
        const QString key = m_key + QStringLiteral(".planted");
        const QString name = SingleInstance::lockFileName(key);
        QCOMPARE(QFileInfo(name).path(), temp.path());
        const QString target = temp.filePath(QStringLiteral("target"));
        if (planted == QLatin1String("link")) {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(QFile::link(target, name));
        } else if (planted == QLatin1String("foreign file")) {
            if (geteuid() != 0)
                QSKIP("needs root to give a file to another account");
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(::chown(QFile::encodeName(name).constData(), 65534, 65534), 0);
        } else {
            QVERIFY(QDir().mkdir(name));
        }
        const QFileInfo before(name);
        SingleInstance started;
        QCOMPARE(started.acquire(key), SingleInstance::CreateFailed);
        QVERIFY2(started.errorString().startsWith(name), qPrintable(started.errorString()));
        const QFileInfo after(name);
        QCOMPARE(after.isSymLink(), before.isSymLink());
        QCOMPARE(after.isDir(), before.isDir());
        QCOMPARE(after.ownerId(), before.ownerId());
        QVERIFY(!QFileInfo::exists(target) || QFileInfo(target).size() == 0);
    }

    // A start that finds the guard held tries again for a while: a holder that is ending (here
    // one that timeout(1) ends after three seconds) lets it in, one that stays does not.
    void waitsForAHolderThatEnds_data()
    {
        QTest::addColumn<QString>("holderLives");
        QTest::addColumn<int>("waitMs");
        QTest::addColumn<int>("expected");
        QTest::newRow("holder ends within the wait") << "3" << 10000 << int(SingleInstance::Acquired);
        QTest::newRow("holder stays") << QString() << 1500 << int(SingleInstance::AlreadyRunning);
    }
    void waitsForAHolderThatEnds()
    {
        QFETCH(QString, holderLives);
        QFETCH(int, waitMs);
        QFETCH(int, expected);
        auto *holder = new QProcess(this);
        m_holders.append(holder);
        if (holderLives.isEmpty())
            holder->start(holderPath(), {m_key});
        else
            holder->start(QStringLiteral("timeout"), {holderLives, holderPath(), m_key});
        QVERIFY(holder->waitForReadyRead(10000));
        QCOMPARE(holder->readLine().trimmed().toInt(), int(SingleInstance::Acquired));
        SingleInstance next;
        QCOMPARE(next.acquire(m_key), SingleInstance::AlreadyRunning);
        QCOMPARE(int(next.acquire(m_key, waitMs)), expected);
    }

    // The guard is per application and per user: only the same application of the same user
    // blocks, and this start never clears the other's guard.
    void onlyTheSameApplicationOfTheSameUserBlocks_data()
    {
        QTest::addColumn<QString>("heldApp");
        QTest::addColumn<QString>("heldUser");
        QTest::addColumn<QString>("startedApp");
        QTest::addColumn<QString>("startedUser");
        QTest::addColumn<int>("expected");
        QTest::newRow("same application, same user") << "Demo" << "alice" << "Demo" << "alice"
                                                     << int(SingleInstance::AlreadyRunning);
        QTest::newRow("another application") << "Demo" << "alice" << "Shop" << "alice" << int(SingleInstance::Acquired);
        QTest::newRow("another user") << "Demo" << "alice" << "Demo" << "bob" << int(SingleInstance::Acquired);
        QTest::newRow("application names differing in letter case")
            << "Demo" << "alice" << "demo" << "alice" << int(SingleInstance::Acquired);
    }
    void onlyTheSameApplicationOfTheSameUserBlocks()
    {
        QFETCH(QString, heldApp);
        QFETCH(QString, heldUser);
        QFETCH(QString, startedApp);
        QFETCH(QString, startedUser);
        QFETCH(int, expected);
        const QString tag = QString::number(QCoreApplication::applicationPid());
        const QString heldKey = SingleInstance::instanceKey(heldApp + tag, heldUser);
        int result = -1;
        QProcess *holder = startHolder({heldKey}, &result);
        QVERIFY(holder);
        QCOMPARE(result, int(SingleInstance::Acquired));
        SingleInstance started;
        QCOMPARE(int(started.acquire(SingleInstance::instanceKey(startedApp + tag, startedUser))), expected);
        // The holder's guard is still in force.
        SingleInstance probe;
        QCOMPARE(probe.acquire(heldKey), SingleInstance::AlreadyRunning);
        end(holder);
    }

    // A real instance of another account: it neither blocks this user's start nor is cleared by it.
    // The other account inherits this user's runtime folder, as through su, and passes it over.
    void anotherAccountsInstanceStaysApart()
    {
        if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("runuser")).isEmpty())
            QSKIP("needs root and runuser to start a holder as another account");
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        QVERIFY(QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                          | QFileDevice::ExeOwner));
        const auto restore = setRuntimeFolders(runtime.path().toLocal8Bit(), QByteArray());
        const QString app = QStringLiteral("Shared%1").arg(QCoreApplication::applicationPid());
        int result = -1;
        QProcess *other = startHolder({QStringLiteral("--app"), app}, &result, QStringLiteral("nobody"));
        QVERIFY2(other, "the holder could not run as nobody");
        QCOMPARE(result, int(SingleInstance::Acquired));
        SingleInstance mine;
        QCOMPARE(mine.acquire(SingleInstance::instanceKey(app)), SingleInstance::Acquired);
        int secondResult = -1;
        QProcess *second = startHolder({QStringLiteral("--app"), app}, &secondResult, QStringLiteral("nobody"));
        QVERIFY(second);
        QCOMPARE(secondResult, int(SingleInstance::AlreadyRunning));
        end(other);
    }

    void laterStartAsksTheRunningInstanceToComeForward()
    {
        int result = -1;
        QProcess *holder = startHolder({m_key, QStringLiteral("--listen")}, &result);
        QVERIFY(holder);
        QCOMPARE(result, int(SingleInstance::Acquired));
        QVERIFY(SingleInstance::requestActivation(m_key));
        QVERIFY(holder->waitForReadyRead(5000));
        QCOMPARE(holder->readLine().trimmed(), QByteArray("activated"));
        // Another application's instance is not asked.
        QVERIFY(!SingleInstance::requestActivation(m_key + QStringLiteral(".other"), 1000));
        end(holder);
    }

    void socketOfKilledInstanceIsTakenOver()
    {
        int result = -1;
        QProcess *killed = startHolder({m_key, QStringLiteral("--listen")}, &result);
        QVERIFY(killed);
        ::kill(pid_t(killed->processId()), SIGKILL);
        QVERIFY(killed->waitForFinished(5000));
        QVERIFY(QFileInfo::exists(SingleInstance::activationSocketName(m_key)));
        QVERIFY(!SingleInstance::requestActivation(m_key, 1000));
        QProcess *next = startHolder({m_key, QStringLiteral("--listen")}, &result);
        QVERIFY(next);
        QCOMPARE(result, int(SingleInstance::Acquired));
        QVERIFY(SingleInstance::requestActivation(m_key));
        QVERIFY(next->waitForReadyRead(5000));
        QCOMPARE(next->readLine().trimmed(), QByteArray("activated"));
        end(next);
    }
};

QTEST_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"
