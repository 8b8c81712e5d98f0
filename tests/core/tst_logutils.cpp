#include "core/logutils.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

class tst_LogUtils : public QObject
{
    Q_OBJECT

    static QStringList readLines(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

private slots:
    void recordFormat_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("message");
        QTest::newRow("info chinese") << "INFO" << QStringLiteral("启动Update下载进程成功!");
        QTest::newRow("placeholder kept") << "ERROR" << QStringLiteral("value %1 and %0 stay");
        QTest::newRow("fatal") << "FATAL" << QStringLiteral("x");
    }

    void recordFormat()
    {
        QFETCH(QString, level);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("a.elf"));
        LogUtils::write(level, file, message);
        const QStringList lines = readLines(file);
        QCOMPARE(lines.size(), 1);
        const QRegularExpression shape(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} \\[ThreadID: \\d+\\] (\\w+)  - (.*)$"));
        const auto match = shape.match(lines.first());
        QVERIFY2(match.hasMatch(), qPrintable(lines.first()));
        QCOMPARE(match.captured(1), level);
        QCOMPARE(match.captured(2), message);
    }

    void helpersWriteTheirLevel()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("levels.elf"));
        LogUtils::debug(file, QStringLiteral("d"));
        LogUtils::info(file, QStringLiteral("i"));
        LogUtils::warn(file, QStringLiteral("w"));
        LogUtils::error(file, QStringLiteral("e"));
        LogUtils::fatal(file, QStringLiteral("f"));
        const QStringList lines = readLines(file);
        QCOMPARE(lines.size(), 5);
        const QStringList levels {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
        for (int i = 0; i < 5; ++i)
            QVERIFY(lines.at(i).contains(QStringLiteral("] %1  - ").arg(levels.at(i))));
    }

    void pathNamesFileOrFolder_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("written");
        QTest::newRow(".elf names the file") << "x/run.elf"
                                             << "x/run.elf";
        QTest::newRow("folder gets log.elf") << "x/update/1.0"
                                             << "x/update/1.0/log.elf";
        QTest::newRow("upper-case suffix is a folder") << "x/LOG.ELF"
                                                       << "x/LOG.ELF/log.elf";
    }

    void pathNamesFileOrFolder()
    {
        QFETCH(QString, given);
        QFETCH(QString, written);
        QTemporaryDir dir;
        LogUtils::info(dir.filePath(given), QStringLiteral("m"));
        QCOMPARE(readLines(dir.filePath(written)).size(), 1);
    }

    void relativePathLandsBesideProgram()
    {
        const QString folder = QStringLiteral("logtest-%1").arg(QCoreApplication::applicationPid());
        LogUtils::info(folder, QStringLiteral("m"));
        const QString expected
            = QCoreApplication::applicationDirPath() + QLatin1Char('/') + folder + QStringLiteral("/log.elf");
        QCOMPARE(readLines(expected).size(), 1);
        QDir(QCoreApplication::applicationDirPath() + QLatin1Char('/') + folder).removeRecursively();
    }

    void emptyPathWritesNothing()
    {
        QTemporaryDir dir;
        QDir::setCurrent(dir.path());
        LogUtils::info(QString(), QStringLiteral("m"));
        QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }

    void concurrentWritersKeepLinesWhole()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("threads.elf"));
        const QString payload(200, QLatin1Char('x'));
        const int perThread = 200;
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads.append(QThread::create([=] {
                for (int i = 0; i < perThread; ++i)
                    LogUtils::info(file, QStringLiteral("t%1 ").arg(t) + payload);
            }));
            threads.last()->start();
        }
        for (QThread *thread : threads) {
            thread->wait();
            delete thread;
        }
        const QStringList lines = readLines(file);
        QCOMPARE(lines.size(), 4 * perThread);
        for (const QString &line : lines)
            QVERIFY2(line.endsWith(payload) && line.count(QStringLiteral("[ThreadID:")) == 1, qPrintable(line));
    }
};

QTEST_MAIN(tst_LogUtils)
#include "tst_logutils.moc"
