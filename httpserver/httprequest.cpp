#include "httprequest.h"

HttpRequest::HttpRequest(HttpConnection *connection, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
    , m_url(QStringLiteral("http://localhost/"))
{
}
