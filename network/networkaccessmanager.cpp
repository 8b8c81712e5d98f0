#include "networkaccessmanager.h"

#include "userfolders.h"

#include "core/messagebox.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QNetworkDiskCache>
#include <QNetworkReply>

#include <cstdio>

namespace {
bool askWithMessageBox(const QString &title, const QString &text)
{
    // Nobody is there to answer an unattended run: the safe answer, said on standard error.
    if (isNonInteractive()) {
        const QByteArray line = (title + QStringLiteral(": ") + text + QStringLiteral("\n-> No\n")).toUtf8();
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
        return false;
    }
    const QMessageBox::StandardButton answer =
        QMessageBox::warning(nullptr, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return answer == QMessageBox::Yes;
}
} // namespace

NetworkAccessManager::NetworkAccessManager(QObject *parent)
    : QNetworkAccessManager(parent)
    , m_sslQuestion(askWithMessageBox)
{
    // Redirects are the page's to follow, as they always were (Qt 6 would follow them itself).
    setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(this, &QNetworkAccessManager::authenticationRequired, this,
            &NetworkAccessManager::authenticationRequired);
    connect(this, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &NetworkAccessManager::proxyAuthenticationRequired);
    connect(this, &QNetworkAccessManager::finished, this, &NetworkAccessManager::requestFinished);
    connect(this, &QNetworkAccessManager::sslErrors, this, &NetworkAccessManager::sslErrors);
    loadSettings();

    auto *diskCache = new QNetworkDiskCache(this);
    diskCache->setCacheDirectory(UserFolders::cache());
    setCache(diskCache);
}

QString NetworkAccessManager::hostKey(const QUrl &url)
{
    return url.host() + QLatin1Char(':') + QString::number(url.port());
}

void NetworkAccessManager::loadSettings()
{
    // No proxy or other setting is read: the system's proxy configuration applies.
}

void NetworkAccessManager::requestFinished(QNetworkReply *reply)
{
    Q_UNUSED(reply);
}

void NetworkAccessManager::authenticationRequired(QNetworkReply *reply, QAuthenticator *auth)
{
    // No credentials are ever supplied; the reply ends with its authentication error.
    Q_UNUSED(reply);
    Q_UNUSED(auth);
}

void NetworkAccessManager::proxyAuthenticationRequired(const QNetworkProxy &proxy, QAuthenticator *auth)
{
    Q_UNUSED(proxy);
    Q_UNUSED(auth);
}

void NetworkAccessManager::sslErrors(QNetworkReply *reply, const QList<QSslError> &error)
{
    QStringList texts;
    for (const QSslError &sslError : error)
        texts << sslError.errorString();
    if (acceptCertificateErrors(reply->url(), texts))
        reply->ignoreSslErrors();
}

bool NetworkAccessManager::acceptCertificateErrors(const QUrl &url, const QStringList &errorTexts)
{
    if (m_trustProbe && m_trustProbe(url)) {
        const QByteArray line = QStringLiteral("certificate errors on trusted %1, the load fails: %2\n")
                                    .arg(url.toString(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo),
                                         errorTexts.join(QStringLiteral("; ")))
                                    .toUtf8();
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        return false;
    }
    const QString key = hostKey(url);
    if (m_trustedHosts.contains(key))
        return true;
    const QString text = tr("SSL Errors:\n\n%1\n\n%2\n\nDo you want to ignore these errors for this host?")
                             .arg(url.toString(), errorTexts.join(QLatin1Char('\n')));
    if (!m_sslQuestion || !m_sslQuestion(QCoreApplication::applicationName(), text))
        return false;
    m_trustedHosts.append(key);
    return true;
}

QNetworkReply *NetworkAccessManager::createRequest(Operation op, const QNetworkRequest &request,
                                                   QIODevice *outgoingData)
{
    QNetworkRequest pipelined(request);
    pipelined.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, true);
    return QNetworkAccessManager::createRequest(op, pipelined, outgoingData);
}
