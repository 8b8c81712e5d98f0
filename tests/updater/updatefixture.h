#pragma once

#include "core/inivariants.h"
#include "tests/copytree.h"

#include "core/appnames.h"
#include "core/processutils.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUrlQuery>
#include <QtTest>

// What the black-box update tests share: temporary installations copied from the build output,
// packages made by scripts/make-update-package.sh, nginx serving them on loopback, and the
// reaping of every program an installation started.
namespace UpdateFixture {

inline QString binDir()
{
    return qEnvironmentVariable("KAVO_BIN_DIR");
}

inline bool run(const QString &program, const QStringList &args, const QStringList &env = {})
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString &kv : env)
        e.insert(kv.section('=', 0, 0), kv.section('=', 1));
    p.setProcessEnvironment(e);
    p.start(program, args);
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!ok)
        qWarning("%s exited with %d: %s", qPrintable(program), p.exitCode(), p.readAllStandardError().constData());
    return ok;
}

inline bool makePackage(const QString &out, const QString &version, const QString &overlay,
                        const QStringList &more = {})
{
    QStringList args{binDir(), version, out};
    if (!overlay.isEmpty())
        args << QStringLiteral("--overlay") << overlay;
    args << more;
    return run(qEnvironmentVariable("KAVO_SOURCE_DIR") + QStringLiteral("/scripts/make-update-package.sh"), args);
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

inline bool setConf(const QString &conf, const QString &key, const QString &value)
{
    QSettings settings(conf, QSettings::IniFormat);
    IniVariants::useUtf8(settings);
    settings.setValue(key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

// A test-only page in the installation's demo folder, for unattended runs: it announces
// version 5.0.0.1 with the package at packageUrl by itself, unless that version already runs,
// and reports the update events it hears by loading http://127.0.0.1:reportPort/end?... Both
// addresses are written into the page: the demo's own update page acts only on its form.
inline QString autoUpdatePageUrl()
{
    return QStringLiteral("http://localhost:58899/data/Demo/auto-update.html");
}

inline bool writeAutoUpdatePage(const QString &root, const QString &packageUrl, quint16 reportPort)
{
    const QByteArray addresses
        = QJsonDocument(QJsonArray{packageUrl, QStringLiteral("http://127.0.0.1:%1/end").arg(reportPort)})
              .toJson(QJsonDocument::Compact);
    return writeFile(root + QStringLiteral("/data/Demo/auto-update.html"), R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>auto-update</title><script>
var Kavo = window.Kavo || { webRoot: '', picturelist: [] };
var addresses = )" + addresses + R"(;
function tell(query) { new Image().src = addresses[1] + '?' + query; }
document.addEventListener('kavo.update.end', function (e) {
    tell('success=' + e.success + '&version=' + encodeURIComponent(e.info.version));
}, false);
document.addEventListener('kavo.update.error', function (e) {
    tell('error=' + encodeURIComponent(e.error) + '&success=' + e.success + '&version='
         + encodeURIComponent(e.info.version));
}, false);
window.addEventListener('load', function () {
    var running = window.KavoDevice ? KavoDevice.getVersion() : '';
    if (running === '5.0.0.1')
        return;
    setTimeout(function () {
        if (window.KavoUpdate)
            KavoUpdate.beginUpdate('5.0.0.1', 'auto-update', addresses[0]);
    }, 300);
}, false);
</script></head><body><p>auto-update</p></body></html>
)");
}

// The new version's qt.conf in its overlay: the built one, opening pageUrl.
inline bool writeOverlayConf(const QString &overlay, const QString &pageUrl)
{
    const QString conf = overlay + QStringLiteral("/qt.conf");
    return QFile::copy(binDir() + QStringLiteral("/qt.conf"), conf)
        && QFile::setPermissions(conf, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        && setConf(conf, QStringLiteral("Demo/Url"), pageUrl);
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QByteArray sha(const QString &path)
{
    return QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256);
}


// Both programs and qt.conf; with the demo, also its package and pictures so the window opens.
inline bool makeInstallation(const QString &root, bool withDemo = false)
{
    QStringList names{Kavo::mainExecutableName(), Kavo::updaterExecutableName(), QStringLiteral("qt.conf")};
    if (withDemo)
        names << QStringLiteral("data.zip");
    for (const QString &name : names) {
        if (!QFile::copy(binDir() + '/' + name, root + '/' + name))
            return false;
    }
    return !withDemo || copyTree(binDir() + QStringLiteral("/data/Demo"), root + QStringLiteral("/data/Demo"));
}

inline QStringList tree(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << it.next();
    entries.sort();
    return entries;
}

// "LEVEL message" for each record of a log.elf; continuation lines stay separate entries.
inline QStringList logLines(const QString &logFile)
{
    QStringList messages;
    const QString text = QString::fromUtf8(readFile(logFile));
    static const QRegularExpression record(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} \\[ThreadID: \\d+\\] (\\w+)  - (.*)$"));
    for (const QString &line : text.split('\n')) {
        const auto m = record.match(line);
        if (m.hasMatch())
            messages << m.captured(1) + QLatin1Char(' ') + m.captured(2);
    }
    return messages;
}

// The updater restarts the installation's main program detached, and the main program starts
// updaters: none of them may outlive a test and keep the server port from later tests.
struct InstallationReaper
{
    QString root;
    ~InstallationReaper()
    {
        // A restart started just before may exec only after a first sweep: sweep until a second
        // of quiet.
        QElapsedTimer quiet;
        quiet.start();
        for (int sweeps = 0; sweeps < 50 && quiet.elapsed() < 1000; ++sweeps) {
            const bool found = isProcessRunning(Kavo::updaterExecutableName(), root)
                || isProcessRunning(Kavo::mainExecutableName(), root);
            killProcessByName(Kavo::updaterExecutableName(), root);
            killProcessByName(Kavo::mainExecutableName(), root);
            if (found)
                quiet.restart();
            QThread::msleep(100);
        }
    }
};

// nginx on an ephemeral loopback port, serving a directory (readable by nginx's workers).
class Nginx
{
public:
    ~Nginx()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    // nginx's workers run as another user: everything served must be readable by them.
    static void makeReadable(const QString &served)
    {
        QFile::setPermissions(served, QFileDevice::Permissions(0x7755));
        for (const QString &f : QDir(served).entryList(QDir::Files))
            QFile::setPermissions(served + '/' + f, QFileDevice::Permissions(0x6644));
    }

    // Before start: serve over TLS with this certificate and key (PEM files).
    void setTls(const QString &certificate, const QString &key)
    {
        m_tls = QStringLiteral(" ssl; ssl_certificate %1; ssl_certificate_key %2").arg(certificate, key);
    }
    // Before start: further directives of the server block, such as "limit_rate 200k;".
    void setServerDirectives(const QString &directives) { m_directives = directives; }

    bool start(const QString &served, bool accessLog = false)
    {
        makeReadable(served);
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        m_port = probe.serverPort();
        probe.close();
        const QString conf = m_dir.filePath(QStringLiteral("nginx.conf"));
        const QString log = accessLog ? QStringLiteral("access_log %1/access.log;").arg(m_dir.path())
                                      : QStringLiteral("access_log off;");
        if (!writeFile(conf, QStringLiteral("daemon off; pid %1/nginx.pid; error_log %1/error.log;\n"
                                            "events {}\nhttp { %4 client_body_temp_path %1;\n"
                                            "server { listen 127.0.0.1:%2%5; root %3; %6 } }\n")
                                 .arg(m_dir.path())
                                 .arg(m_port)
                                 .arg(served, log, m_tls, m_directives)
                                 .toUtf8()))
            return false;
        m_process.start(QStringLiteral("nginx"), {"-p", m_dir.path(), "-c", conf});
        if (!m_process.waitForStarted())
            return false;
        for (int i = 0; i < 100; ++i) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, m_port);
            if (s.waitForConnected(100))
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    quint16 port() const { return m_port; }
    QString accessLogPath() const { return m_dir.filePath(QStringLiteral("access.log")); }
    QString url(const QString &name) const
    {
        return QStringLiteral("%1://127.0.0.1:%2/%3").arg(m_tls.isEmpty() ? "http" : "https").arg(m_port).arg(name);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_tls;
    QString m_directives;
};

// Answers every request to server with 204 and keeps its request line ("GET /end?... HTTP/1.1"),
// which is how the demo's update page reports the events it heard.
inline void recordRequestLines(QTcpServer &server, QStringList &requests)
{
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, &requests] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [&requests, socket] {
                const QByteArray head = socket->readAll();
                requests << QString::fromUtf8(head.left(head.indexOf("\r\n")));
                socket->write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
                socket->disconnectFromHost();
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

} // namespace UpdateFixture
