#include "core/fileversion.h"
#include "download/downloadtasklog.h"
#include "download/httpdownloadtask.h"
#include "updatefixture.h"

#include <QElapsedTimer>
#include <QSettings>

#include <csignal>
#include <utility>

using namespace UpdateFixture;

// A self-update killed at every step of its road, with a package of a few hundred files. After
// each kill the main program is started as a user would; the installation must end wholly old
// or wholly new (every file against both manifests), the page must hear how it ended, and a
// later update must still go through.
class tst_UpdateKill : public QObject
{
    Q_OBJECT

    using Manifest = QMap<QString, QByteArray>; // path below the root -> SHA-256

    QTemporaryDir m_served;
    Nginx m_nginx;
    QTcpServer m_reports;
    QStringList m_requests;
    QString m_pageUrl;
    Manifest m_package;  // the files of the 5.0.0.1 package
    Manifest m_package2; // the files of the 5.0.0.2 package
    int m_packageFiles = 0;

    static QString dlDir(const QString &root, const QString &version = QStringLiteral("5.0.0.1"))
    {
        return root + QStringLiteral("/data/update/Demo/") + version;
    }
    QStringList downloadArgs(const QString &name, const QString &version) const
    {
        return {QStringLiteral("-app"), QStringLiteral("Demo"), QStringLiteral("-beginUpdate"), m_nginx.url(name),
                QStringLiteral("-version"), version};
    }
    static QStringList execArgs()
    {
        return {QStringLiteral("-app"), QStringLiteral("Demo"), QStringLiteral("-version"), QStringLiteral("5.0.0.1"),
                QStringLiteral("-execUpdate")};
    }

    // Every file of the tree but the update area and what the programs write while they run.
    static Manifest manifest(const QString &root)
    {
        Manifest files;
        QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString relative = QDir(root).relativeFilePath(it.next());
            if (relative.startsWith(QLatin1String("data/update/")) || relative.endsWith(QLatin1String(".elf"))
                || relative == QLatin1String("data/user.conf") || relative == QLatin1String("cookies.ini"))
                continue;
            files.insert(relative, sha(root + QLatin1Char('/') + relative));
        }
        return files;
    }

    static Manifest overlay(Manifest base, const Manifest &top)
    {
        for (auto it = top.cbegin(); it != top.cend(); ++it)
            base.insert(it.key(), it.value());
        return base;
    }

    // True when the installation is exactly one of the two: each path of either manifest holds
    // that manifest's file, or is absent when the manifest has none.
    static bool isWhollyOneOf(const QString &root, const Manifest &older, const Manifest &newer, bool *isNew,
                              QString *why)
    {
        const Manifest now = manifest(root);
        QSet<QString> paths;
        for (const QString &p : older.keys() + newer.keys())
            paths.insert(p);
        bool asOld = true;
        bool asNew = true;
        for (const QString &p : std::as_const(paths)) {
            const QByteArray current = now.value(p);
            if (current != older.value(p)) {
                asOld = false;
                if (why && asNew)
                    *why += QStringLiteral(" differs from old: ") + p;
            }
            if (current != newer.value(p)) {
                asNew = false;
                if (why && asOld)
                    *why += QStringLiteral(" differs from new: ") + p;
            }
        }
        *isNew = asNew;
        return asOld || asNew;
    }

    static void versionMatchesConf(const QString &root)
    {
        QSettings conf(root + QStringLiteral("/qt.conf"), QSettings::IniFormat);
        QCOMPARE(fileVersion(root + QLatin1Char('/') + Kavo::mainExecutableName()),
                 conf.value(QStringLiteral("Demo/Version")).toString());
    }

    static Manifest packageFiles(const QString &zip)
    {
        QTemporaryDir out;
        QProcess unzip;
        unzip.start(QStringLiteral("unzip"), {"-q", zip, "-d", out.path()});
        unzip.waitForFinished(60000);
        return manifest(out.path());
    }


    static QProcess *start(const QString &program, const QStringList &args, const QString &output,
                           const QStringList &env, const QStringList &unset = {})
    {
        auto *process = new QProcess;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString &name : unset)
            e.remove(name);
        for (const QString &kv : env)
            e.insert(kv.section('=', 0, 0), kv.section('=', 1));
        process->setProcessEnvironment(e);
        process->setStandardOutputFile(output, QIODevice::Append);
        process->setStandardErrorFile(output, QIODevice::Append);
        process->start(program, args);
        return process;
    }

    static void stop(QProcess *process)
    {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(10000);
        }
        delete process;
    }

    // Runs a program that must kill itself at the point named; true when it did.
    static bool killedAt(const QString &program, const QStringList &args, const QString &point, const QString &output,
                         const QStringList &env = {})
    {
        QProcess *p = start(program, args, output, QStringList{QStringLiteral("KAVO_TEST_KILL_AT=") + point} + env);
        const bool killed = p->waitForFinished(120000) && p->exitStatus() == QProcess::CrashExit;
        stop(p);
        return killed;
    }

    // Bytes the task log shows as not stored yet.
    static qint64 missingBytes(const QString &dir)
    {
        DownloadTaskLog log(dir + QStringLiteral("/update.rdl"));
        QString message;
        DownloadTaskInfo task;
        if (!log.load(message) || !log.getTask(0, task))
            return -1;
        const qint64 size = HttpDownloadTask::computePieceSize(task.fileSize, task.threadCount);
        const qint64 n = HttpDownloadTask::pieceCount(task.fileSize, size);
        qint64 missing = 0;
        QSet<int> listed;
        for (const FilePiece &piece : task.pieces) {
            listed.insert(piece.id);
            missing += piece.end - piece.start + 1 - piece.done;
        }
        for (qint64 k = task.unstartedOffsetIndex; k < n; ++k) {
            if (!listed.contains(int(k + 1)))
                missing += (k + 1 == n ? task.fileSize : (k + 1) * size) - k * size;
        }
        return missing;
    }

    // Body bytes nginx sent for GETs of the file, from the given line of its access log on.
    qint64 bytesSent(const QString &name, int fromLine, int *lines = nullptr) const
    {
        const QList<QByteArray> all = readFile(m_nginx.accessLogPath()).split('\n');
        if (lines)
            *lines = all.size() - 1;
        qint64 total = 0;
        for (int i = fromLine; i < all.size(); ++i) {
            const QByteArray &line = all.at(i);
            if (!line.contains("\"GET /" + name.toUtf8() + " "))
                continue;
            // ... "GET /name HTTP/1.1" STATUS BYTES "referer" "agent"
            const QList<QByteArray> after = line.mid(line.indexOf("HTTP/1.1\"") + 9).trimmed().split(' ');
            total += after.value(1).toLongLong();
        }
        return total;
    }

    bool reported(const QString &query) const
    {
        return m_requests.contains(QStringLiteral("GET /end?") + query + QStringLiteral(" HTTP/1.1"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_reports.listen(QHostAddress::LocalHost));
        recordRequestLines(m_reports, m_requests);
        QVERIFY(m_nginx.start(m_served.path(), true));

        m_pageUrl = autoUpdatePageUrl();

        // Version 5.0.0.1 opens the same page and brings a few hundred files of its own.
        QTemporaryDir overlay;
        QVERIFY(writeOverlayConf(overlay.path(), m_pageUrl));
        QVERIFY(writeFile(overlay.filePath(QStringLiteral("data/Demo/update.txt")), "new page"));
        for (int i = 0; i < 300; ++i)
            QVERIFY(writeFile(overlay.filePath(QStringLiteral("data/Demo/many/f%1.txt").arg(i, 3, 10, QLatin1Char('0'))),
                              QByteArray::number(i).repeated(i + 1)));
        QVERIFY(makePackage(m_served.filePath(QStringLiteral("pkg.zip")), QStringLiteral("5.0.0.1"), overlay.path()));
        QTemporaryDir overlay2;
        QVERIFY(writeFile(overlay2.filePath(QStringLiteral("data/Demo/update.txt")), "newer page"));
        QVERIFY(makePackage(m_served.filePath(QStringLiteral("pkg2.zip")), QStringLiteral("5.0.0.2"), overlay2.path()));
        Nginx::makeReadable(m_served.path());
        m_package = packageFiles(m_served.filePath(QStringLiteral("pkg.zip")));
        m_package2 = packageFiles(m_served.filePath(QStringLiteral("pkg2.zip")));
        m_packageFiles = m_package.size();
        QVERIFY(m_packageFiles > 300);
    }

    void cleanup() { m_requests.clear(); }

    void killAnywhere_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("killAt"); // empty: a real SIGKILL from this test
        QTest::newRow("download, early") << "download" << "";
        QTest::newRow("download, last piece handed out") << "download" << "lastpiece";
        QTest::newRow("download, final rename") << "download" << "rename";
        QTest::newRow("unpacking") << "download" << "unpack";
        QTest::newRow("consent notification showing") << "consent" << "";
        QTest::newRow("copy, before the first file") << "execute" << "copy:0";
        QTest::newRow("copy, an original moved aside") << "execute" << "aside:7";
        QTest::newRow("copy, a third through") << "execute" << "copy:100";
        QTest::newRow("copy, every file in but not recorded") << "execute" << "copy:end";
        QTest::newRow("rollback at the next start") << "rollback" << "rollback:20";
        QTest::newRow("before the restart") << "execute" << "restart";
        QTest::newRow("right after the restart") << "execute" << "main";
        // Started as the user's menu entry starts it, the installer killed with the program it
        // names kept in the backup and not yet replaced: it is still there, whole, to repair.
        QTest::newRow("through Kavo.V5, its original kept but not replaced") << "desktop" << "aside:1";
    }

    void killAnywhere()
    {
        QFETCH(QString, stage);
        QFETCH(QString, killAt);
        QTemporaryDir root;
        QTemporaryDir logs;
        const InstallationReaper reaper{root.path()};
        const QString output = logs.filePath(QStringLiteral("out.log"));
        QVERIFY(makeInstallation(root.path(), true));
        QVERIFY(writeAutoUpdatePage(root.path(), m_nginx.url(QStringLiteral("pkg.zip")), m_reports.serverPort()));
        QVERIFY(writeFile(root.path() + QStringLiteral("/data/Demo/update.txt"), "old page"));
        QVERIFY(setConf(root.path() + QStringLiteral("/qt.conf"), QStringLiteral("Demo/Url"), m_pageUrl));
        const Manifest older = manifest(root.path());
        const Manifest newer = overlay(older, m_package);
        const QString dir = dlDir(root.path());
        const QString updater = root.path() + QLatin1Char('/') + Kavo::updaterExecutableName();
        const QString installer = dir + QStringLiteral("/tmp/") + Kavo::updaterExecutableName();
        const QString main = root.path() + QLatin1Char('/') + Kavo::mainExecutableName();
        const QStringList download = downloadArgs(QStringLiteral("pkg.zip"), QStringLiteral("5.0.0.1"));

        qint64 missing = -1;
        int logLine = 0;
        if (stage == QLatin1String("download") && killAt.isEmpty()) {
            QProcess *p = start(updater, download, output, {QStringLiteral("KAVO_UPDATE_CONSENT=no")});
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir + QStringLiteral("/update.rdl"))
                                         || p->state() == QProcess::NotRunning, 30000);
            ::kill(pid_t(p->processId()), SIGKILL);
            QVERIFY(p->waitForFinished(10000));
            QCOMPARE(p->exitStatus(), QProcess::CrashExit);
            stop(p);
        } else if (stage == QLatin1String("download")) {
            QVERIFY(killedAt(updater, download, killAt, output, {QStringLiteral("KAVO_UPDATE_CONSENT=no")}));
            if (killAt == QLatin1String("lastpiece")) {
                missing = missingBytes(dir);
                QVERIFY(missing > 0);
                // nginx logs the requests the kill cut off once it sees their connections close.
                QTest::qWait(1000);
                bytesSent(QStringLiteral("pkg.zip"), 0, &logLine);
            }
        } else if (stage == QLatin1String("desktop")) {
            // The page announces the update, the user says yes, the installer ends the program.
            QProcess *p = start(main, {}, output,
                                {QStringLiteral("KAVO_UPDATE_CONSENT=yes"), QStringLiteral("KAVO_TEST_KILL_AT=") + killAt});
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir + QStringLiteral("/install.journal"))
                                         && !isProcessRunning(Kavo::updaterExecutableName(), root.path())
                                         && !isProcessRunning(Kavo::mainExecutableName(), root.path()),
                                     180000);
            stop(p);
            // Killed half-way: the journal still says so.
            QVERIFY(readFile(dir + QStringLiteral("/install.journal")).contains("\nstate installing\n"));
        } else if (stage == QLatin1String("consent")) {
            // No answer preset: the notification waits for a user who never comes.
            QProcess *p = start(updater, download, output, {}, {QStringLiteral("KAVO_UPDATE_CONSENT")});
            QTRY_VERIFY_WITH_TIMEOUT(readFile(dir + QStringLiteral("/log.elf")).contains("解压升级文件成功!"), 60000);
            QTest::qWait(300);
            QCOMPARE(p->state(), QProcess::Running);
            ::kill(pid_t(p->processId()), SIGKILL);
            QVERIFY(p->waitForFinished(10000));
            stop(p);
        } else {
            QVERIFY(run(updater, download, {QStringLiteral("KAVO_UPDATE_CONSENT=no")}));
            QVERIFY(QFileInfo::exists(installer));
            QString point = killAt;
            if (stage == QLatin1String("rollback"))
                point = QStringLiteral("copy:100");
            point.replace(QStringLiteral("end"), QString::number(m_packageFiles));
            if (point == QLatin1String("main")) {
                // The installer runs to its end; the program it starts dies at once.
                QVERIFY(run(installer, execArgs(), {QStringLiteral("KAVO_TEST_KILL_AT=main")}));
                QTRY_VERIFY_WITH_TIMEOUT(!isProcessRunning(Kavo::mainExecutableName(), root.path()), 30000);
            } else {
                QVERIFY(killedAt(installer, execArgs(), point, output));
            }
            QVERIFY(QFileInfo::exists(dir + QStringLiteral("/install.journal")));
            if (stage == QLatin1String("rollback"))
                QVERIFY(killedAt(main, {}, killAt, output));
        }

        // Whatever the kill left, the program the menu entry starts is there, whole, old or new.
        const QByteArray program = sha(main);
        QVERIFY(program == older.value(Kavo::mainExecutableName()) || program == newer.value(Kavo::mainExecutableName()));
        QVERIFY(QFileInfo(main).isExecutable());

        // A user starts the program again; its page announces the update once more if needed.
        QProcess *first = start(main, {}, output, {QStringLiteral("KAVO_UPDATE_CONSENT=yes")});
        QVERIFY(first->waitForStarted());
        // On failure: what the page reported, and what the programs and the updater logged.
        QTRY_VERIFY2_WITH_TIMEOUT(reported(QStringLiteral("success=true&version=5.0.0.1")),
                                  qPrintable(m_requests.join('|') + QLatin1Char('\n') + QString::fromUtf8(readFile(output))
                                             + QString::fromUtf8(readFile(dir + QStringLiteral("/log.elf")))),
                                  180000);
        QVERIFY2(!reported(QStringLiteral("success=false&version=5.0.0.1")), qPrintable(m_requests.join('|')));
        bool isNew = false;
        QString why;
        QVERIFY2(isWhollyOneOf(root.path(), older, newer, &isNew, &why), qPrintable(why));
        QVERIFY2(isNew, qPrintable(why));
        versionMatchesConf(root.path());
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(dir + QStringLiteral("/install.journal")), 30000);
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/backup")));
        if (missing > 0)
            QCOMPARE(bytesSent(QStringLiteral("pkg.zip"), logLine), missing);

        // A later update still goes through.
        {
            // Its own exit code is not asked for: the installer it starts ends every other
            // updater of the installation, and may well end this one before it has exited.
            QProcess later;
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            e.insert(QStringLiteral("KAVO_UPDATE_CONSENT"), QStringLiteral("yes"));
            later.setProcessEnvironment(e);
            later.start(updater, downloadArgs(QStringLiteral("pkg2.zip"), QStringLiteral("5.0.0.2")));
            QVERIFY(later.waitForFinished(120000));
        }
        QTRY_VERIFY_WITH_TIMEOUT(fileVersion(main) == QLatin1String("5.0.0.2")
                                     && !isProcessRunning(Kavo::updaterExecutableName(), root.path())
                                     && !QFileInfo::exists(dlDir(root.path(), QStringLiteral("5.0.0.2"))
                                                           + QStringLiteral("/install.journal")),
                                 120000);
        QVERIFY2(isWhollyOneOf(root.path(), newer, overlay(newer, m_package2), &isNew, &why), qPrintable(why));
        QVERIFY(isNew);
        versionMatchesConf(root.path());
        // The installer has restarted the program: it is ended with the row, not left to hold the
        // port in the next one.
        QTRY_VERIFY_WITH_TIMEOUT(isProcessRunning(Kavo::mainExecutableName(), root.path()), 60000);
        stop(first);
    }
};

QTEST_MAIN(tst_UpdateKill)
#include "tst_update_kill.moc"
