#pragma once

#include "browser/pageevent.h"

#include <QMap>
#include <QNetworkCookieJar>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class QNetworkAccessManager;

class QNetworkReply;
class Utf8Decoder;
class QUrl;

// The remote-data requests behind KavoDevice.getRemoteDataExt: builds a POST with the desktop's
// cookies and the page's header chain, sends it through a manager of its own, and turns every
// piece of the answer into a "kavo.device.remote.data" event script handed to the sink.
// Every request ends with an event: a network error (also after the headers) with success=false,
// an answer without body with one success event carrying an empty response.
class RemoteDataClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(RemoteDataClient)
public:
    using ScriptSink = std::function<void(const PageEvent::Event &event)>;
    using HeaderList = QVector<QPair<QString, QString>>;

    enum { DefaultTransferTimeoutMs = 60000 };

    explicit RemoteDataClient(const ScriptSink &sink, QObject *parent = nullptr);
    // Pending replies are dropped without raising events.
    ~RemoteDataClient() override;

    // The jar cookies are read from and stored into; not owned (the application's shared jar).
    void setCookieJar(QNetworkCookieJar *jar);
    QNetworkCookieJar *cookieJar() const { return m_cookieJar; }
    QNetworkAccessManager *networkManager() const { return m_manager; }
    // Time without any transfer after which a request ends as timed out.
    void setTransferTimeout(int milliseconds);
    int pendingCount() const { return m_pending.size(); }

    void request(const QString &url, const QString &id, const QString &method, const QString &body,
                 const QString &headers);

    // Name/value pairs of a length-prefixed chain ("12~Content-Type16~application/json"). Each
    // step consumes the text through its "~", so a malformed chain ends instead of looping.
    static HeaderList parseHeaderChain(const QString &chain);
    static QString hostHeader(const QUrl &url);
    // {status:N,headers: {'name':'value',} } with every name and value escaped.
    static QString extrasLiteral(int status, const QMap<QString, QString> &headers);
    // CRLF and lone CR become LF, the line end the page sees.
    static QString normaliseLineEnds(QString text);

private slots:
    void slotReplyReadyRead();
    void slotReplyFinished();

private:
    struct Pending
    {
        QString id;
        std::shared_ptr<Utf8Decoder> decoder;
        bool answered = false;
    };

    QMap<QString, QString> replyHeaders(QNetworkReply *reply) const;
    void storeCookies(QNetworkReply *reply);

    ScriptSink m_sink;
    QNetworkAccessManager *m_manager;
    QPointer<QNetworkCookieJar> m_cookieJar;
    QMap<QNetworkReply *, Pending> m_pending;
};
