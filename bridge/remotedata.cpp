#include "remotedata.h"

#include "core/utf8decoder.h"

#include "browser/pageevent.h"

#include "network/networkerror.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>
#include <QUrl>

namespace {

// A header that would split the request line or another header is never sent.
bool isSafeHeaderText(const QString &text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c.unicode() == 0)
            return false;
    }
    return true;
}

// RFC 7230 token: what a method may be made of.
bool isHttpToken(const QString &text)
{
    static const QString punctuation = QStringLiteral("!#$%&'*+-.^_`|~");
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || punctuation.contains(c)))
            return false;
    }
    return true;
}

bool isSafeHeaderName(const QString &name)
{
    return !name.isEmpty() && isSafeHeaderText(name) && !name.contains(QLatin1Char(':'))
        && name.trimmed() == name && !name.contains(QLatin1Char(' '));
}

// Names that decide how the request is framed or travels hop by hop: the network stack sets
// them, a page never does (it could smuggle a second request or reach another host).
bool isFramingHeaderName(const QString &name)
{
    static const QStringList names{QStringLiteral("host"),       QStringLiteral("content-length"),
                                   QStringLiteral("transfer-encoding"), QStringLiteral("connection"),
                                   QStringLiteral("keep-alive"), QStringLiteral("upgrade"),
                                   QStringLiteral("te"),         QStringLiteral("trailer")};
    const QString lower = name.toLower();
    return names.contains(lower) || lower.startsWith(QLatin1String("proxy-"));
}

// Takes the next length-prefixed part off the front of rest; empty when the length is not a
// positive number. False when no "~" is left.
bool takePart(QString &rest, QString &part)
{
    const int tilde = rest.indexOf(QLatin1Char('~'));
    if (tilde < 0)
        return false;
    bool ok = false;
    const int length = rest.left(tilde).toInt(&ok);
    if (ok && length > 0) {
        part = rest.mid(tilde + 1, length);
        rest = rest.mid(tilde + 1 + part.size());
    } else {
        part.clear();
        rest = rest.mid(tilde + 1);
    }
    return true;
}

} // namespace

RemoteDataClient::RemoteDataClient(const ScriptSink &sink, QObject *parent)
    : QObject(parent)
    , m_sink(sink)
    , m_manager(new QNetworkAccessManager(this))
{
    m_manager->setTransferTimeout(DefaultTransferTimeoutMs);
    // A redirect is an answer the page reads (Qt 6 would follow it by default).
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

RemoteDataClient::~RemoteDataClient()
{
    for (auto it = m_pending.constBegin(); it != m_pending.constEnd(); ++it) {
        QNetworkReply *reply = it.key();
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
    m_pending.clear();
}

void RemoteDataClient::setCookieJar(QNetworkCookieJar *jar)
{
    m_cookieJar = jar;
}

void RemoteDataClient::setTransferTimeout(int milliseconds)
{
    m_manager->setTransferTimeout(milliseconds);
}

RemoteDataClient::HeaderList RemoteDataClient::parseHeaderChain(const QString &chain)
{
    HeaderList headers;
    QString rest = chain;
    QString name;
    QString value;
    while (takePart(rest, name)) {
        if (!takePart(rest, value))
            break;
        if (name.isEmpty() || value.isEmpty())
            continue;
        if (isFramingHeaderName(name)) {
            qWarning("WARN remote data: the page's header %s is dropped, the network stack sets it",
                     qPrintable(name.left(64)));
            continue;
        }
        headers.append(qMakePair(name, value));
    }
    return headers;
}

QString RemoteDataClient::hostHeader(const QUrl &url)
{
    const int port = url.port(80);
    if (port == 0 || port == 80)
        return url.host();
    return QStringLiteral("%0:%1").arg(url.host()).arg(port);
}

QString RemoteDataClient::extrasLiteral(int status, const QMap<QString, QString> &headers)
{
    return PageEvent::extrasLiteral(status, headers);
}

QString RemoteDataClient::normaliseLineEnds(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

void RemoteDataClient::request(const QString &url, const QString &id, const QString &method, const QString &body,
                               const QString &headers)
{
    const QUrl target(url);
    // The method names a header that carries the path: neither may smuggle a line into the request.
    const QString refusal = !isHttpToken(method) || isFramingHeaderName(method) ? QStringLiteral("请求方法不合法")
        : !isSafeHeaderText(target.path(QUrl::FullyDecoded)) ? QStringLiteral("请求地址含有非法字符")
                                           : QString();
    if (!refusal.isEmpty()) {
        NetworkError error(NetworkError::CustomErrorCode);
        error.setErrorString(refusal);
        const PageEvent::Event event = PageEvent::remoteDataFailure(id, error.toString());
        // Answered like every other request: after the call has returned to the page.
        QMetaObject::invokeMethod(this, [this, event] { m_sink(event); }, Qt::QueuedConnection);
        return;
    }
    QNetworkRequest request(target);
    // Cookies come from and go to the application's jar only, never the private manager's own.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);

    // The request is always a POST; the method text only names a header carrying the path.
    request.setRawHeader(method.toUtf8(), target.path().toUtf8());
    request.setRawHeader("Host", hostHeader(target).toUtf8());

    if (m_cookieJar) {
        const QList<QNetworkCookie> cookies = m_cookieJar->cookiesForUrl(target);
        if (!cookies.isEmpty()) {
            QStringList pairs;
            for (const QNetworkCookie &cookie : cookies)
                pairs << QStringLiteral("%1=%2").arg(QString::fromUtf8(cookie.name()), QString::fromUtf8(cookie.value()));
            request.setRawHeader("Cookie", pairs.join(QStringLiteral("; ")).toUtf8());
        }
    }

    if (!headers.isEmpty()) {
        for (const auto &header : parseHeaderChain(headers)) {
            if (isSafeHeaderName(header.first) && isSafeHeaderText(header.second))
                request.setRawHeader(header.first.toUtf8(), header.second.toUtf8());
        }
    }

    QNetworkReply *reply = m_manager->post(request, body.toUtf8());
    connect(reply, &QNetworkReply::readyRead, this, &RemoteDataClient::slotReplyReadyRead);
    connect(reply, &QNetworkReply::finished, this, &RemoteDataClient::slotReplyFinished);
    Pending pending;
    pending.id = id;
    // One decoder per reply: a character split between two pieces reaches the page whole.
    pending.decoder = std::make_shared<Utf8Decoder>();
    m_pending.insert(reply, pending);
}

QMap<QString, QString> RemoteDataClient::replyHeaders(QNetworkReply *reply) const
{
    QMap<QString, QString> headers;
    const struct
    {
        QNetworkRequest::KnownHeaders header;
        const char *name;
    } known[] = {
        {QNetworkRequest::ContentDispositionHeader, "Content-Disposition"},
        {QNetworkRequest::ContentTypeHeader, "Content-Type"},
        {QNetworkRequest::ContentLengthHeader, "Content-Length"},
        {QNetworkRequest::LastModifiedHeader, "Last-Modified"},
    };
    // Names as Qt gives them: as the server wrote them, or in lower case (HTTP/2, Qt 6.7 and later).
    for (const QNetworkReply::RawHeaderPair &pair : reply->rawHeaderPairs())
        headers.insert(QString::fromUtf8(pair.first), QString::fromUtf8(pair.second));
    // The documented ones are there under their usual names too, with the text the server sent
    // (rawHeader() finds a name in any case).
    for (const auto &entry : known) {
        if (reply->header(entry.header).isValid())
            headers.insert(QLatin1String(entry.name), QString::fromUtf8(reply->rawHeader(entry.name)));
    }
    return headers;
}

void RemoteDataClient::storeCookies(QNetworkReply *reply)
{
    if (!m_cookieJar)
        return;
    const QVariant value = reply->header(QNetworkRequest::SetCookieHeader);
    if (!value.isValid())
        return;
    const QList<QNetworkCookie> cookies = value.value<QList<QNetworkCookie>>();
    if (!cookies.isEmpty())
        m_cookieJar->setCookiesFromUrl(cookies, reply->url());
}

void RemoteDataClient::slotReplyReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    auto it = m_pending.find(reply);
    QString id;
    std::shared_ptr<Utf8Decoder> decoder;
    if (it != m_pending.end()) {
        id = it->id;
        decoder = it->decoder;
        it->answered = true;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QMap<QString, QString> headers = replyHeaders(reply);
    storeCookies(reply);
    const QByteArray bytes = reply->readAll();
    const QString text = decoder ? decoder->decode(bytes) : QString::fromUtf8(bytes);
    m_sink(PageEvent::remoteDataSuccess(id, normaliseLineEnds(text), status, headers));
}

namespace {
// Error statuses the server answered with (404, 500, 401, ...) are answers, not failures.
bool isHttpStatusError(QNetworkReply::NetworkError code)
{
    return (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError)
        || (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
}
} // namespace

void RemoteDataClient::slotReplyFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const Pending pending = m_pending.take(reply);
    const bool hasHttpAnswer = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    QNetworkReply::NetworkError code = reply->error();
    // Every request ends with an answer the page sees. A transfer that broke off, before or after
    // the headers, is a failure; an answer without body bytes (204, an empty 404) never passed
    // through slotReplyReadyRead and is delivered here, with its status and its cookies.
    PageEvent::Event event;
    if (code != QNetworkReply::NoError && !isHttpStatusError(code)) {
        if (hasHttpAnswer && !pending.answered)
            storeCookies(reply);
        // Only the transfer timeout aborts a reply still in the table.
        if (code == QNetworkReply::OperationCanceledError)
            code = QNetworkReply::TimeoutError;
        event = PageEvent::remoteDataFailure(pending.id, NetworkError(code).toString());
    } else if (!pending.answered) {
        storeCookies(reply);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        event = PageEvent::remoteDataSuccess(pending.id, QString(), status, replyHeaders(reply));
    }
    reply->close();
    reply->deleteLater();
    if (event.isValid())
        m_sink(event);
}
