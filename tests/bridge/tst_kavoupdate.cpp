#include "core/appnames.h"
#include "core/fileutils.h"
#include "bridge/kavoupdate.h"
#include "download/downloadtasklog.h"
#include "core/config.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The update client in this process, against a private update area below the test program's
// directory (the client resolves every path there; the program has a directory of its own) and
// stand-in updaters: small scripts that record their arguments and stay running, end at once,
// crash or talk on standard output. The download-mode stand-in lies beside the test program,
// where the real updater would.
class tst_KavoUpdate : public QObject
{
    Q_OBJECT

    QString m_name;
    QString m_area;
    const QString m_running = QStringLiteral("5.0.0.0");

    QString path(const QString &relative) const { return m_area + QLatin1Char('/') + relative; }
    static QString url(const QString &name = QStringLiteral("pkg.zip"))
    {
        return QStringLiteral("http://127.0.0.1:9/") + name;
    }

    static void writeFile(const QString &file, const QByteArray &data, bool executable = false)
    {
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(data);
        f.close();
        if (executable)
            QVERIFY(f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser));
    }

    static QByteArray readFile(const QString &file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Stand-in updaters, by behaviour.
    static QByteArray standIn(const QString &kind)
    {
        const QByteArray record = "echo \"$@\" > \"$(dirname \"$0\")/../args.txt\"\n";
        if (kind == QLatin1String("stays"))
            return "#!/bin/sh\n" + record + "exec sleep 30\n";
        if (kind == QLatin1String("quick"))
            return "#!/bin/sh\n" + record + "exit 0\n";
        if (kind == QLatin1String("crashes"))
            return "#!/bin/sh\n" + record + "sleep 1.5\nkill -SEGV $$\n";
        if (kind == QLatin1String("talks"))
            return "#!/bin/sh\n" + record + "echo hello\nexec sleep 30\n";
        return QByteArray();
    }

    void writeTaskLog(const QString &dir, const QString &packageUrl)
    {
        DownloadTaskLog log(dir + QStringLiteral("/update.rdl"));
        DownloadTaskInfo task;
        task.url = packageUrl;
        task.savePath = dir + QLatin1Char('/') + packageUrl.mid(packageUrl.lastIndexOf('/') + 1);
        QVERIFY(log.addTask(task));
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(log.save());
    }

    // A zip holding the updater stand-in of the given kind at its root.
    static void writePackage(const QString &zip, const QString &kind)
    {
        QTemporaryDir stage;
        writeFile(stage.filePath(Kavo::updaterExecutableName()), standIn(kind), true);
        QVERIFY(QDir().mkpath(QFileInfo(zip).absolutePath()));
        QProcess p;
        p.setWorkingDirectory(stage.path());
        p.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-X"), zip,
                                        QStringLiteral(".")});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 0);
    }

    // The record the updater leaves beside a package it checked and unpacked, for these bytes.
    static void writeRecord(const QString &package, const QByteArray &bytes)
    {
        writeFile(QFileInfo(package).absolutePath() + QStringLiteral("/package.sha256"),
                  QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() + "  "
                      + QFileInfo(package).fileName().toUtf8() + '\n');
    }

    // "version/file=kind": kind is log, garbage, partial, package-<standin>, checked-<standin>
    // (a package with its record), changed-<standin> (one whose record names other bytes),
    // recorded:<text> (a file of that text with its record), standin-<kind>, dir.
    void lay(const QStringList &files)
    {
        for (const QString &entry : files) {
            const QString file = path(entry.section('=', 0, 0));
            const QString kind = entry.section('=', 1);
            if (kind.startsWith(QLatin1String("checked-")) || kind.startsWith(QLatin1String("changed-"))) {
                writePackage(file, kind.mid(8));
                writeRecord(file, kind.startsWith(QLatin1String("checked-")) ? readFile(file) : QByteArray("other bytes"));
            } else if (kind.startsWith(QLatin1String("recorded:"))) {
                writeFile(file, kind.mid(9).toUtf8());
                writeRecord(file, kind.mid(9).toUtf8());
            } else if (kind == QLatin1String("log"))
                writeTaskLog(QFileInfo(file).absolutePath(), url());
            else if (kind == QLatin1String("garbage"))
                writeFile(file, "<not a task log");
            else if (kind == QLatin1String("partial"))
                writeFile(file, QByteArray(1000, 'x'));
            else if (kind.startsWith(QLatin1String("package-")))
                writePackage(file, kind.mid(8));
            else if (kind.startsWith(QLatin1String("standin-")))
                writeFile(file, standIn(kind.mid(8)), true);
            else
                writeFile(file, kind.toUtf8());
        }
    }

    static QStringList tree(const QString &root)
    {
        QStringList entries;
        QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            entries << it.next();
        entries.sort();
        return entries;
    }

    // The updater of download mode; each start appends its arguments to downloads.txt.
    QString downloadUpdater() const { return absolutePath(Kavo::updaterExecutableName()); }
    QString downloadsFile() const { return path(QStringLiteral("downloads.txt")); }
    void placeDownloadUpdater(const QString &kind)
    {
        QByteArray script = "#!/bin/sh\necho \"$@\" >> '" + downloadsFile().toUtf8() + "'\n";
        const QByteArray unpacked = "mkdir -p '" + m_area.toUtf8() + "/5.0.0.1/tmp' && touch '" + m_area.toUtf8()
            + "/5.0.0.1/tmp/" + Kavo::updaterExecutableName().toUtf8() + "'\n";
        if (kind == QLatin1String("stays"))
            script += "exec sleep 30\n";
        else if (kind == QLatin1String("asks"))
            script += unpacked + "exec sleep 30\n";
        else if (kind == QLatin1String("dismissed"))
            script += "sleep 1.5\n" + unpacked + "exit 0\n";
        else if (kind == QLatin1String("fails"))
            script += "sleep 1.5\nexit 2\n";
        else if (kind == QLatin1String("crashes"))
            script += "sleep 1.5\nkill -SEGV $$\n";
        else if (kind.startsWith(QLatin1String("signal-")))
            script += "sleep 1.5\nkill -" + kind.mid(7).toLatin1() + " $$\n";
        else if (kind == QLatin1String("talks"))
            script += "echo hello\nexec sleep 30\n";
        QVERIFY(QDir().mkpath(m_area));
        writeFile(downloadUpdater(), script, true);
    }
    QStringList downloads() const
    {
        return QString::fromUtf8(readFile(downloadsFile())).split('\n', Qt::SkipEmptyParts);
    }
    QString downloadArgs(const QString &version) const
    {
        return QStringLiteral("-app %1 -beginUpdate %2 -version %3").arg(m_name, url(), version);
    }

    static bool alive(qint64 pid) { return pid > 0 && ::kill(pid_t(pid), 0) == 0; }

    QStringList logMessages(const QString &version)
    {
        QStringList messages;
        const QString text = QString::fromUtf8(readFile(path(version + QStringLiteral("/log.elf"))));
        static const QRegularExpression record(QStringLiteral("^[-0-9]+ [:,0-9]+ \\[ThreadID: \\d+\\] (\\w+)  - (.*)$"));
        for (const QString &line : text.split('\n')) {
            const auto m = record.match(line);
            if (m.hasMatch())
                messages << m.captured(1) + QLatin1Char(' ') + m.captured(2);
            else if (!line.isEmpty() && !messages.isEmpty())
                messages.last() += QLatin1Char('\n') + line;
        }
        return messages;
    }

    static QString updaterArgs(const QString &name, const QString &version)
    {
        return QStringLiteral("-app %1 -version %2 -execUpdate\n").arg(name, version);
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QProcess::ExitStatus>();
        m_name = QStringLiteral("UpdateTest%1").arg(QCoreApplication::applicationPid());
        appConfig().set(m_name, QString(), QStringLiteral("Test"), QString(), m_running, QString(), 0, 0, QUrl());
        m_area = absolutePath(QStringLiteral("data/update/") + m_name);
        removeDir(m_area);
    }

    void cleanup()
    {
        KavoUpdate::destroyInstance();
        removeDir(m_area);
        QFile::remove(downloadUpdater());
        appConfig().setUpdatePublicKey(QString());
    }

    void metaObjectInOrder()
    {
        const QMetaObject &meta = KavoUpdate::staticMetaObject;
        QStringList methods;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            methods << QString::fromLatin1(meta.method(i).methodSignature());
        QCOMPARE(methods, QStringList({"beginUpdate(QString,QString,QString)",
                                       "onProcessFinished(int,QProcess::ExitStatus)",
                                       "onProcessError(QProcess::ProcessError)", "onProcessStarted()",
                                       "onProcessingReceivedData()", "onConnectedToUpdate()"}));
        QCOMPARE(meta.method(meta.methodOffset()).access(), QMetaMethod::Public);
    }

    void compareVersions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("result");
        QTest::newRow("numeric, not textual") << "1.10.0" << "1.9.9" << 1;
        QTest::newRow("second greater") << "1.9.9" << "1.10.0" << -1;
        QTest::newRow("different part counts") << "1.2" << "1.2.0" << -2;
        QTest::newRow("letters") << "1.a" << "1.0" << -2;
        QTest::newRow("equal") << "2.0" << "2.0" << 0;
        QTest::newRow("first empty") << "" << "1.0" << -2;
        QTest::newRow("second empty") << "1.0" << "" << -2;
        QTest::newRow("both empty") << "" << "" << -2;
        QTest::newRow("empty part") << "1..0" << "1.0.0" << -2;
        QTest::newRow("leading zeros") << "01.2" << "1.2" << 0;
        QTest::newRow("beyond 64 bits") << "99999999999999999999.1" << "1.1" << 1;
        QTest::newRow("sign") << "-1.0" << "1.0" << -2;
        QTest::newRow("blank") << " 1.0" << "1.0" << -2;
        QTest::newRow("first difference decides") << "2.0.0.0" << "1.9.9.9" << 1;
    }

    void compareVersions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, result);
        QCOMPARE(KavoUpdate::compareVersions(a, b), result);
    }

    void hostileInputChangesNothing_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("packageUrl");
        QTest::newRow("parent version") << ".." << url();
        QTest::newRow("path in version") << "5.0.0.1/../../.." << url();
        QTest::newRow("running version and a path") << "5.0.0.0/.." << url();
        QTest::newRow("letters") << "5.a" << url();
        QTest::newRow("empty part") << "5..1" << url();
        QTest::newRow("empty version") << "" << url();
        QTest::newRow("empty url") << "5.0.0.1" << "";
        QTest::newRow("url ending in a slash") << "5.0.0.1" << url("");
        QTest::newRow("dot file name") << "5.0.0.1" << url(".");
        QTest::newRow("dot-dot file name") << "5.0.0.1" << url("..");
        QTest::newRow("backslash in file name") << "5.0.0.1" << url("..\\..\\x.zip");
        QTest::newRow("running version, dot-dot file name") << "5.0.0.0" << url("..");
        // No downgrade, no replay of an older signed package.
        QTest::newRow("older version") << "4.9.0.0" << url();
        QTest::newRow("running version with a leading zero") << "05.0.0.0" << url();
        QTest::newRow("version that does not compare") << "5.1" << url();
    }

    void hostileInputChangesNothing()
    {
        QFETCH(QString, version);
        QFETCH(QString, packageUrl);
        lay({QStringLiteral("keep.txt=keep"), QStringLiteral("5.0.0.0/tmp/keep.txt=keep"),
             QStringLiteral("5.0.0.1/pkg.zip=package-stays"), QStringLiteral("5.0.0.1/tmp/keep.txt=keep")});
        const QStringList before = tree(m_area);
        KavoUpdate update;
        update.beginUpdate(version, QString(), packageUrl);
        QCOMPARE(tree(m_area), before);
        QVERIFY(!update.process());
        QVERIFY(update.version().isEmpty());
        for (const QString &dir : {QStringLiteral("data/update"), QStringLiteral("data"), QString()})
            QVERIFY2(!QFileInfo::exists(absolutePath(dir + QStringLiteral("/log.elf"))), qPrintable(dir));
    }

    void runningVersionRemovesItsDownloadDirectory()
    {
        lay({QStringLiteral("5.0.0.0/pkg.zip=zip"), QStringLiteral("5.0.0.0/update.rdl=log"),
             QStringLiteral("5.0.0.0/tmp/Kavo.Update=standin-stays"), QStringLiteral("5.0.0.1/keep.txt=keep")});
        // An updater of this installation, named as the real one is.
        const QString sleeper = path(QStringLiteral("other/") + Kavo::updaterExecutableName());
        QVERIFY(QDir().mkpath(QFileInfo(sleeper).absolutePath()));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), sleeper));
        QProcess running;
        running.start(sleeper, {QStringLiteral("30")});
        QVERIFY(running.waitForStarted());

        KavoUpdate update;
        update.beginUpdate(m_running, QString(), url());
        QVERIFY(!QFileInfo::exists(path(m_running)));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("5.0.0.1/keep.txt"))));
        QVERIFY(running.waitForFinished(5000));
        QVERIFY(!update.process());
        // Announced again: the same answer, and still nothing started.
        update.beginUpdate(m_running, QString(), url());
        QVERIFY(!update.process());
    }

    void downloadWithoutUpdaterIsLogged()
    {
        KavoUpdate update;
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QVERIFY(!update.process());
        QCOMPARE(update.version(), QStringLiteral("5.0.0.1"));
        QCOMPARE(update.url(), url());
        QCOMPARE(logMessages(QStringLiteral("5.0.0.1")),
                 QStringList({QStringLiteral("INFO 准备升级"), QStringLiteral("INFO 准备下载新版本：5.0.0.1"),
                              QStringLiteral("FATAL 找不到:") + absolutePath(Kavo::updaterExecutableName())
                                  + QStringLiteral("文件！")}));
    }

    void downloadStartsTheUpdater()
    {
        placeDownloadUpdater(QStringLiteral("stays"));
        KavoUpdate update;
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QVERIFY(update.process());
        QCOMPARE(update.process()->state(), QProcess::Running);
        QCOMPARE(update.process()->program(), downloadUpdater());
        QTRY_COMPARE(downloads(), QStringList{downloadArgs(QStringLiteral("5.0.0.1"))});
    }

    // The user closed the question earlier: a new announcement asks again through the
    // download-mode updater instead of installing at once.
    void downloadedPackageIsAskedAboutAgain()
    {
        placeDownloadUpdater(QStringLiteral("stays"));
        lay({QStringLiteral("5.0.0.1/pkg.zip=package-stays"), QStringLiteral("5.0.0.1/update.rdl=log"),
             QStringLiteral("5.0.0.1/tmp/Kavo.Update=standin-stays")});
        KavoUpdate update;
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QVERIFY(update.process());
        QCOMPARE(update.process()->program(), downloadUpdater());
        QTRY_COMPARE(downloads(), QStringList{downloadArgs(QStringLiteral("5.0.0.1"))});
        QTest::qWait(200);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("5.0.0.1/args.txt"))));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("5.0.0.1/pkg.zip"))));
    }

    void secondBeginUpdateStartsNothing()
    {
        placeDownloadUpdater(QStringLiteral("stays"));
        KavoUpdate update;
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QProcess *first = update.process();
        QVERIFY(first);
        QTRY_COMPARE(downloads().size(), 1);
        const qint64 pid = first->processId();
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        // Another version while one runs: the running download is neither ended nor replaced.
        update.beginUpdate(QStringLiteral("5.0.0.2"), QString(), url());
        QCOMPARE(update.process(), first);
        QCOMPARE(first->processId(), pid);
        QCOMPARE(first->state(), QProcess::Running);
        QCOMPARE(KavoUpdate::instance()->version(), QStringLiteral("5.0.0.1"));
        QTest::qWait(300);
        QCOMPARE(downloads().size(), 1);
    }

    // Pages come and go (reload, navigation, closed windows); the download belongs to the
    // process-wide client and goes on, and a page announcing the same version joins it.
    void pagesShareOneUpdaterThatOutlivesThem()
    {
        placeDownloadUpdater(QStringLiteral("stays"));
        auto *first = new KavoUpdate;
        first->beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QProcess *process = first->process();
        QVERIFY(process);
        const qint64 pid = process->processId();
        delete first;
        QVERIFY(alive(pid));
        auto *second = new KavoUpdate;
        second->beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QCOMPARE(second->process(), process);
        delete second;
        QTest::qWait(300);
        QVERIFY(alive(pid));
        QTRY_COMPARE(downloads().size(), 1);
    }

    // Closing the program while the question shows ends the updater; the unpacked package
    // stays for the next start.
    void quittingEndsTheUpdater()
    {
        placeDownloadUpdater(QStringLiteral("asks"));
        KavoUpdate update;
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QVERIFY(update.process());
        const qint64 pid = update.process()->processId();
        QTRY_VERIFY(QFileInfo::exists(path(QStringLiteral("5.0.0.1/tmp/Kavo.Update"))));
        KavoUpdate::destroyInstance();
        QTRY_VERIFY(!alive(pid));
        QVERIFY(!update.process());
        QVERIFY(QFileInfo::exists(path(QStringLiteral("5.0.0.1/tmp/Kavo.Update"))));
    }

    void endedUpdaterLetsTheNextAnnouncementStart_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("question closed") << "dismissed";
        QTest::newRow("download failed") << "fails";
        QTest::newRow("crashed") << "crashes";
    }

    void endedUpdaterLetsTheNextAnnouncementStart()
    {
        QFETCH(QString, kind);
        placeDownloadUpdater(kind);
        KavoUpdate update;
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QVERIFY(update.process());
        QTRY_VERIFY_WITH_TIMEOUT(!update.process(), 10000);
        placeDownloadUpdater(QStringLiteral("stays"));
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QVERIFY(update.process());
        QTRY_COMPARE(downloads(), QStringList({downloadArgs(QStringLiteral("5.0.0.1")),
                                               downloadArgs(QStringLiteral("5.0.0.1"))}));
    }

    // An updater that crashes takes its artefacts along: they may be what made it crash. One
    // ended by another program (the user, a shutdown, the system short of memory) was only
    // interrupted, and its download goes on at the next start.
    void updaterEndedBySignal_data()
    {
        QTest::addColumn<QString>("signal");
        QTest::addColumn<bool>("kept");
        QTest::newRow("segmentation fault") << "SEGV" << false;
        QTest::newRow("abort") << "ABRT" << false;
        QTest::newRow("killed") << "KILL" << true;
        QTest::newRow("terminated") << "TERM" << true;
        QTest::newRow("hung up") << "HUP" << true;
    }

    void updaterEndedBySignal()
    {
        QFETCH(QString, signal);
        QFETCH(bool, kept);
        placeDownloadUpdater(QStringLiteral("signal-") + signal);
        lay({QStringLiteral("5.0.0.1/update.rdl=log"), QStringLiteral("5.0.0.1/pkg.zip.lrdl=partial")});
        KavoUpdate update;
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QVERIFY(update.process());
        QSignalSpy finished(update.process(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        QVERIFY(finished.wait(10000));
        QCoreApplication::processEvents();
        for (const char *name : {"pkg.zip.lrdl", "update.rdl"})
            QVERIFY2(QFileInfo::exists(path(QStringLiteral("5.0.0.1/") + QLatin1String(name))) == kept, name);
        QStringList expected{QStringLiteral("INFO 准备升级"), QStringLiteral("INFO 准备下载新版本：5.0.0.1"),
                             QStringLiteral("FATAL Update下载进程出现异常!\n原因: QProcess::Crashed"),
                             QStringLiteral("INFO 结束Update进程")};
        if (!kept)
            expected << QStringLiteral("INFO 启动Update下载进程崩溃!");
        expected << QStringLiteral("INFO Update下载进程退出!");
        QCOMPARE(logMessages(QStringLiteral("5.0.0.1")), expected);
        QVERIFY(!update.process());
    }

    void updaterOutputStopsIt()
    {
        placeDownloadUpdater(QStringLiteral("talks"));
        lay({QStringLiteral("5.0.0.1/update.rdl=log"), QStringLiteral("5.0.0.1/pkg.zip.lrdl=partial")});
        KavoUpdate update;
        update.beginUpdate(QStringLiteral("5.0.0.1"), QString(), url());
        QTRY_VERIFY(!update.process());
        const QStringList messages = logMessages(QStringLiteral("5.0.0.1"));
        QVERIFY2(messages.contains(QStringLiteral("INFO 结束Update进程")), qPrintable(messages.join('|')));
        // Stopped by the client is not a crash: the partial download stays for the next run.
        QVERIFY(!messages.contains(QStringLiteral("INFO 启动Update下载进程崩溃!")));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("5.0.0.1/pkg.zip.lrdl"))));
    }

    // With a key configured, only the updater checks signatures, and only a checked package is
    // ever unpacked: start-up installs an unpacked tree, never a bare package.
    void resumeWithKeyInstallsOnlyCheckedPackages_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("started");
        QTest::newRow("package never unpacked") << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=package-stays"}
                                                << false;
        QTest::newRow("package checked and unpacked")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=checked-stays",
                           "5.0.0.1/tmp/Kavo.Update=standin-stays"}
            << true;
    }

    void resumeWithKeyInstallsOnlyCheckedPackages()
    {
        QFETCH(QStringList, files);
        QFETCH(bool, started);
        appConfig().setUpdatePublicKey(QStringLiteral("DZQGtK/grQwsyC/Qqxxy3y7aLYHTGHbHoM0nsQwI5dM="));
        lay(files);
        QCOMPARE(KavoUpdate::resumePendingUpdate(), started);
        // Nothing is discarded: the updater checks the package when the version is announced again.
        QVERIFY(QFileInfo::exists(path(QStringLiteral("5.0.0.1/pkg.zip"))));
        if (started)
            QTRY_COMPARE(readFile(path(QStringLiteral("5.0.0.1/args.txt"))),
                         updaterArgs(m_name, QStringLiteral("5.0.0.1")).toUtf8());
    }

    void resumePendingUpdate_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("started");
        QTest::addColumn<QString>("installed");  // the version whose updater runs
        QTest::addColumn<QStringList>("gone");
        QTest::addColumn<QStringList>("kept");
        const QString updater = QStringLiteral("/tmp/") + Kavo::updaterExecutableName();
        QTest::newRow("no update area") << QStringList() << false << QString() << QStringList() << QStringList();
        QTest::newRow("only older and running versions")
            << QStringList{"4.9.0.0/update.rdl=log", "4.9.0.0" + updater + "=standin-stays", "5.0.0.0/update.rdl=log",
                           "5.0.0.0" + updater + "=standin-stays"}
            << false << QString() << QStringList() << QStringList{"4.9.0.0/tmp", "5.0.0.0/tmp"};
        QTest::newRow("newer download incomplete")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip.lrdl=partial"} << false << QString()
            << QStringList() << QStringList{"5.0.0.1/update.rdl", "5.0.0.1/pkg.zip.lrdl"};
        QTest::newRow("newer, checked and unpacked")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=checked-stays"} << true << "5.0.0.1"
            << QStringList() << QStringList();
        // Nothing ties a tree without its package to anything that was checked.
        QTest::newRow("newer, unpacked tree without its package")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1" + updater + "=standin-stays"} << false << QString()
            << QStringList{"5.0.0.1/tmp"} << QStringList();
        // Changed on disk after the updater checked and unpacked it: never unpacked again.
        QTest::newRow("newer, package changed after its check")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=changed-stays"} << false << QString()
            << QStringList{"5.0.0.1/pkg.zip", "5.0.0.1/tmp", "5.0.0.1/package.sha256"}
            << QStringList{"5.0.0.1/log.elf"};
        QTest::newRow("newer, package never checked")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=package-stays"} << false << QString()
            << QStringList{"5.0.0.1/tmp"} << QStringList{"5.0.0.1/pkg.zip"};
        QTest::newRow("newer, unreadable task log")
            << QStringList{"5.0.0.1/update.rdl=garbage", "5.0.0.1" + updater + "=standin-stays"} << false << QString()
            << QStringList{"5.0.0.1"} << QStringList();
        QTest::newRow("newer, no task log")
            << QStringList{"5.0.0.1" + updater + "=standin-stays"} << false << QString() << QStringList{"5.0.0.1"}
            << QStringList();
        QTest::newRow("newer, no task log, its update log kept")
            << QStringList{"5.0.0.1" + updater + "=standin-stays", "5.0.0.1/pkg.zip.lrdl=partial", "5.0.0.1/log.elf=why"}
            << false << QString() << QStringList{"5.0.0.1/tmp", "5.0.0.1/pkg.zip.lrdl"}
            << QStringList{"5.0.0.1/log.elf"};
        QTest::newRow("greatest comparable version wins")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=checked-stays", "5.0.0.2/update.rdl=log",
                           "5.0.0.2/pkg.zip=checked-stays", "6.0/update.rdl=log", "6.0" + updater + "=standin-stays",
                           "zzz/update.rdl=log", "9.9.9.9.9/update.rdl=log"}
            << true << "5.0.0.2" << QStringList{"5.0.0.1"}
            << QStringList{"6.0/tmp", "zzz/update.rdl", "9.9.9.9.9/update.rdl"};
        QTest::newRow("package present: half-unpacked tmp replaced")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=checked-stays", "5.0.0.1/tmp/half=half"} << true
            << "5.0.0.1" << QStringList{"5.0.0.1/tmp/half"} << QStringList{"5.0.0.1/pkg.zip"};
        QTest::newRow("damaged package")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=recorded:not a zip", "5.0.0.1" + updater + "=standin-stays"}
            << false << QString() << QStringList{"5.0.0.1"} << QStringList();
        QTest::newRow("newer failed download above a complete older one")
            << QStringList{"5.0.0.2/update.rdl=log", "5.0.0.2/pkg.zip=recorded:not a zip", "5.0.0.2/log.elf=why",
                           "5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=checked-stays"}
            << true << "5.0.0.1" << QStringList{"5.0.0.2/pkg.zip", "5.0.0.2/update.rdl", "5.0.0.2/tmp"}
            << QStringList{"5.0.0.2/log.elf", "5.0.0.1/update.rdl"};
        QTest::newRow("older failed download beside a complete newer one")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip.lrdl=partial", "5.0.0.1/tmp/half=half",
                           "5.0.0.1/log.elf=why", "5.0.0.2/update.rdl=log", "5.0.0.2/pkg.zip=checked-stays"}
            << true << "5.0.0.2" << QStringList{"5.0.0.1/pkg.zip.lrdl", "5.0.0.1/tmp", "5.0.0.1/update.rdl"}
            << QStringList{"5.0.0.1/log.elf", "5.0.0.2/pkg.zip", "5.0.0.2" + updater};
        QTest::newRow("newer download under way above a complete older one")
            << QStringList{"5.0.0.2/update.rdl=log", "5.0.0.2/pkg.zip.lrdl=partial", "5.0.0.1/update.rdl=log",
                           "5.0.0.1/pkg.zip=checked-stays"}
            << true << "5.0.0.1" << QStringList()
            << QStringList{"5.0.0.2/update.rdl", "5.0.0.2/pkg.zip.lrdl", "5.0.0.1/update.rdl"};
        QTest::newRow("interrupted installation above a complete older one")
            << QStringList{"5.0.0.2/install.journal=journal", "5.0.0.2/backup/Kavo.V5=original",
                           "5.0.0.2/pkg.zip.lrdl=partial", "5.0.0.1/update.rdl=log",
                           "5.0.0.1" + updater + "=standin-stays"}
            << false << QString() << QStringList()
            << QStringList{"5.0.0.2/install.journal", "5.0.0.2/backup/Kavo.V5", "5.0.0.2/pkg.zip.lrdl",
                           "5.0.0.1/update.rdl", "5.0.0.1/tmp"};
        QTest::newRow("updater that ends at once")
            << QStringList{"5.0.0.1/update.rdl=log", "5.0.0.1/pkg.zip=checked-quick"} << false << QString()
            << QStringList() << QStringList{"5.0.0.1/update.rdl"};
    }

    void resumePendingUpdate()
    {
        QFETCH(QStringList, files);
        QFETCH(bool, started);
        QFETCH(QString, installed);
        QFETCH(QStringList, gone);
        QFETCH(QStringList, kept);
        lay(files);
        QCOMPARE(KavoUpdate::resumePendingUpdate(), started);
        if (!installed.isEmpty()) {
            KavoUpdate *client = KavoUpdate::instance();
            QVERIFY(client->process());
            QCOMPARE(client->version(), installed);
            QCOMPARE(client->url(), url());
            QTRY_COMPARE(readFile(path(installed + QStringLiteral("/args.txt"))), updaterArgs(m_name, installed).toUtf8());
        }
        for (const QString &entry : QDir(m_area).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (started && entry != installed)
                QVERIFY2(!QFileInfo::exists(path(entry + QStringLiteral("/args.txt"))), qPrintable(entry + " started"));
        }
        for (const QString &entry : gone)
            QVERIFY2(!QFileInfo::exists(path(entry)), qPrintable(entry));
        for (const QString &entry : kept)
            QVERIFY2(QFileInfo::exists(path(entry)), qPrintable(entry));
    }

    void cleanupUpdaterRemovesRunningVersionTmp()
    {
        lay({QStringLiteral("5.0.0.0/tmp/x=x"), QStringLiteral("5.0.0.0/pkg.zip=zip"),
             QStringLiteral("5.0.0.1/tmp/x=x")});
        KavoUpdate::cleanupUpdater();
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("5.0.0.0/tmp"))));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("5.0.0.0/pkg.zip"))));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("5.0.0.1/tmp/x"))));
    }
};

QTEST_MAIN(tst_KavoUpdate)
#include "tst_kavoupdate.moc"
