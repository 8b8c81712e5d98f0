#include "networkerror.h"

#include <QHash>

namespace {

QString tabRun(int blanksBefore, int tabs, int blanksAfter)
{
    return QString(blanksBefore, QLatin1Char(' ')) + QString(tabs, QLatin1Char('\t'))
        + QString(blanksAfter, QLatin1Char(' '));
}

const QHash<int, QString> &reasonTexts()
{
    // Built once, on first use from whichever thread comes first; read-only afterwards.
    static const QHash<int, QString> texts = [] {
        const QString run = tabRun(1, 15, 3);
        QHash<int, QString> t;
        t.insert(0, QStringLiteral("No error"));
        t.insert(1, QStringLiteral("The remote server refused the connection (the server is not accepting requests)."));
        t.insert(2,
                 QStringLiteral("The remote server closed the connection prematurely, before the entire reply was "
                                "received and processed."));
        t.insert(3, QStringLiteral("The remote host name was not found (invalid hostname)."));
        t.insert(4, QStringLiteral("The connection to the remote server timed out."));
        t.insert(5,
                 QStringLiteral("The operation was canceled via calls to abort() or close() before it was finished."));
        t.insert(6, QStringLiteral("The SSL/TLS handshake failed and the encrypted channel could not be established."));
        t.insert(
            7,
            QStringLiteral(
                "The connection was broken due to disconnection from the network, however the system has initiated")
                + run
                + QStringLiteral("roaming to another access point. The request should be resubmitted and will be "
                                 "processed as soon as")
                + run + QStringLiteral("the connection is re-established."));
        t.insert(99, QStringLiteral("An unknown network-related error was detected."));
        t.insert(101,
                 QStringLiteral(
                     "The connection to the proxy server was refused (the proxy server is not accepting requests)."));
        t.insert(102,
                 QStringLiteral("The proxy server closed the connection prematurely, before the entire reply was "
                                "received and processed."));
        t.insert(103, QStringLiteral("The proxy host name was not found (invalid proxy hostname)."));
        t.insert(104,
                 QStringLiteral(
                     "The connection to the proxy timed out or the proxy did not reply in time to the request sent."));
        t.insert(105,
                 QStringLiteral("The proxy requires authentication in order to honour the request but did not accept "
                                "any credentials offered (if any)."));
        t.insert(199, QStringLiteral("An unknown proxy-related error was detected."));
        t.insert(201, QStringLiteral("The access to the remote content was denied (similar to HTTP error 401)."));
        t.insert(202, QStringLiteral("The operation requested on the remote content is not permitted."));
        t.insert(203, QStringLiteral("The remote content was not found at the server (similar to HTTP error 404)."));
        t.insert(204,
                 QStringLiteral("The remote server requires authentication to serve the content but the credentials "
                                "provided were not accepted (if any)."));
        t.insert(205,
                 QStringLiteral("The request needed to be sent again, but this failed for example because the upload "
                                "data could not be read a second time."));
        t.insert(299, QStringLiteral("An unknown error related to the remote content was detected."));
        t.insert(301,
                 QStringLiteral("The Network Access API cannot honor the request because the protocol is not known."));
        t.insert(302, QStringLiteral("The requested operation is invalid for this protocol."));
        t.insert(399,
                 QStringLiteral(
                     "A breakdown in protocol was detected (parsing error, invalid or unexpected responses, etc.)."));
        return t;
    }();
    return texts;
}

const int registered = qRegisterMetaType<NetworkError>("NetworkError");

} // namespace

NetworkError::NetworkError()
{
    reasonTexts();
}

NetworkError::NetworkError(int code, QObject *parent)
    : QObject(parent)
    , m_code(code)
{
    reasonTexts();
}

NetworkError::NetworkError(const NetworkError &other)
    : QObject()
    , m_code(other.m_code)
    , m_text(other.m_text)
{
}

NetworkError &NetworkError::operator=(const NetworkError &other)
{
    m_code = other.m_code;
    m_text = other.m_text;
    return *this;
}

void NetworkError::setErrorCode(int code)
{
    m_code = code;
}

void NetworkError::setErrorString(const QString &text)
{
    m_text = text;
    m_code = CustomErrorCode;
}

QString NetworkError::toString() const
{
    const QString line = QStringLiteral("Code:%0, Description: %1");
    if (m_code == CustomErrorCode)
        return line.arg(m_code).arg(m_text);
    const auto &texts = reasonTexts();
    const auto it = texts.constFind(m_code);
    if (it != texts.constEnd())
        return line.arg(m_code).arg(it.value());
    return QStringLiteral("Code:%0, Description: Unknown error.").arg(m_code);
}
