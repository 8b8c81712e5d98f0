#pragma once

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSslError>
#include <QStringList>

#include <functional>

// The program's one network access manager: every page loads through it, with a disk cache in
// the cache location, pipelining allowed and a question per host on certificate errors, except
// for the hosts whose pages have the bridge: there a certificate error always fails the load.
class NetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
    Q_DISABLE_COPY(NetworkAccessManager)
public:
    explicit NetworkAccessManager(QObject *parent = nullptr);

    // "host:port", the port -1 when the URL names none.
    static QString hostKey(const QUrl &url);
    QStringList trustedHosts() const { return m_trustedHosts; }

    // Asks whether to ignore the errors for this host; a warning box with Yes and No by default.
    using SslQuestion = std::function<bool(const QString &title, const QString &text)>;
    void setSslQuestion(const SslQuestion &question) { m_sslQuestion = question; }
    // Says whether a URL is of a trusted origin, whose certificate errors are never asked about.
    using TrustProbe = std::function<bool(const QUrl &url)>;
    void setTrustProbe(const TrustProbe &probe) { m_trustProbe = probe; }
    // Whether to go on despite the certificate errors of url: never for a trusted origin (one
    // "yes" would hand the bridge to whoever sits between); else yes for a host the user said yes
    // to before in this run, else the question's answer (remembered when yes). Also asked for
    // the pages of an engine with a network stack of its own.
    bool acceptCertificateErrors(const QUrl &url, const QStringList &errorTexts);

public slots:
    void loadSettings();

private slots:
    void requestFinished(QNetworkReply *reply);
    void authenticationRequired(QNetworkReply *reply, QAuthenticator *auth);
    void proxyAuthenticationRequired(const QNetworkProxy &proxy, QAuthenticator *auth);
    void sslErrors(QNetworkReply *reply, const QList<QSslError> &error);

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *outgoingData) override;

private:
    QStringList m_trustedHosts;
    SslQuestion m_sslQuestion;
    TrustProbe m_trustProbe;
};
