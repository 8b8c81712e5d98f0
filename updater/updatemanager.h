#pragma once

#include "network/networkerror.h"
#include "core/argmentparser.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class HttpDownloadManager;
class InstallLock;
class PackageFile;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;

// Drives one run of the updater. Download mode fetches the package into the download
// directory, unpacks it into "tmp" and asks the user whether to install now; execute mode,
// running from "tmp", ends the main program, installs the package and starts it again.
// Every step is logged to "log.elf" in the download directory; every end goes through one exit.
class UpdateManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UpdateManager)
public:
    explicit UpdateManager(QObject *parent = nullptr);
    ~UpdateManager() override;

    void setArguments(const ArgumentTable &arguments) { m_arguments = arguments; }
    // Where onReadData reads commands from; not owned.
    void setInputDevice(QFile *device) { m_input = device; }
    void run();

    // Absolute; empty when "-app" or "-version" is missing or refused.
    QString downloadDir() const;
    // Empty when it cannot be found or is not a plain file name.
    QString downloadFileName() const;
    QString value(const QString &key, const QString &defaultValue = QString()) const;

public slots:
    void onReadData(int fd);
    void onReceivedData(QByteArray data);
    void onTaskFinished(const QString &url, const NetworkError &error);
    void onUpdateFinished(bool bSuc);
    void onDesktopAlertCmd(int cmd);

private:
    QString installationRoot() const;
    // The Version of the installation's qt.conf.
    QString runningVersion() const;
    bool isNewerThanRunning() const;
    // Empty when the qt.conf in unpackedDir names this application and the announced version;
    // otherwise the reason for the log.
    QString unpackedPackageMismatch(const QString &unpackedDir) const;
    void repairInterruptedInstallation();
    void runDownloadMode();
    void newDownload();
    void resumeDownload();
    void startDownload(const QString &url, const QString &path, int count);
    void discardPartialDownload();
    enum class Unpacked { Done, Failed, Changed };
    // Changed: the package's bytes changed while they were unpacked.
    Unpacked unpack(const PackageFile &package, const QByteArray &digest);
    void askConsent();
    // Signed packages: between the download and the unpacking.
    void prepareDownloadedPackage();
    void checkSignature(QNetworkReply *reply);
    void unpackAndAsk();
    void refusePackage(int exitCode, const QString &message);
    void runExecuteMode();
    void installNow();
    void startMainProgram(bool success);
    void cleanup();
    // Without logged, the update area is left untouched (a refusal before anything began).
    void exitRoutine(bool logged = true);
    void replaceWindow(QObject *window);

    QString m_appDir;
    ArgumentTable m_arguments;
    HttpDownloadManager *m_downloadManager = nullptr;
    QPointer<QObject> m_window;
    QFile *m_input = nullptr;
    std::unique_ptr<InstallLock> m_installLock;
    QNetworkAccessManager *m_signatureNetwork = nullptr;
    QByteArray m_signatureText;
    QString m_signatureUrl;
    int m_exitCode = 0;
    bool m_exiting = false;
    bool m_restartedFresh = false;
};
