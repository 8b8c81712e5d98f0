#include "httpuploader.h"

#include "core/fileutils.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>
#include <QUuid>

HttpUploader::HttpUploader(const QString &filePath, const QString &uploadUrl, const QString &dataField,
                           const QString &dataType)
    : QObject(nullptr)
    , m_manager(new QNetworkAccessManager(this))
    , m_dataType(dataType)
    , m_filePath(filePath)
    , m_uploadUrl(uploadUrl)
    , m_dataField(dataField)
{
    // The upload's answer is the server's first one (Qt 6 would follow a redirect with a GET).
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(m_manager, &QNetworkAccessManager::finished, this, &HttpUploader::finished);
}

HttpUploader::~HttpUploader() = default;

void HttpUploader::setTransferTimeout(int milliseconds)
{
    m_manager->setTransferTimeout(milliseconds);
}

QByteArray HttpUploader::fileNameParameters(const QString &fileName)
{
    QString quoted;
    bool plain = true;
    for (const QChar c : fileName) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7f) {
            // A line break here would end the part's header.
            quoted += QLatin1Char('_');
            plain = false;
            continue;
        }
        if (u > 0x7f)
            plain = false;
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    QByteArray parameters = "filename=\"" + quoted.toUtf8() + '"';
    if (!plain)
        parameters += "; filename*=UTF-8''" + fileName.toUtf8().toPercentEncoding("!#$&+^`|");
    return parameters;
}

QString HttpUploader::fileNameOf(const QString &filePath)
{
    return filePath.mid(filePath.lastIndexOf(QLatin1Char('/')) + 1);
}

QByteArray HttpUploader::multipartBody(const QString &boundary, const QString &fileName, const QString &dataField,
                                       const QString &dataType, const QByteArray &data)
{
    QByteArray body;
    body.reserve(data.size() + 512);
    body += QStringLiteral("--%1\r\n").arg(boundary).toUtf8();
    body += QStringLiteral("--%1\r\nContent-Disposition: form-data; \t\tname=\"Filename\"\r\n\r\n%2\r\n")
                .arg(boundary, fileName)
                .toUtf8();
    body += QStringLiteral("--%1\r\nContent-Disposition: form-data; \t\t\t\t\t\t\tname=\"_dataField\"\r\n\r\n%2\r\n")
                .arg(boundary, dataField)
                .toUtf8();
    body += QStringLiteral("--%1\r\nContent-Disposition: form-data; \t\t\t\t\t\t\tname=\"File\"; ").arg(boundary).toUtf8()
        + fileNameParameters(fileName) + "\r\n";
    body += QStringLiteral("Content-Type: %1\r\n\r\n").arg(dataType).toUtf8();
    body += data;
    body += QStringLiteral("\r\n--%1--\r\n").arg(boundary).toUtf8();
    return body;
}

bool HttpUploader::start()
{
    const QString resolved = absolutePath(m_filePath);
    QFile probe(resolved);
    const bool readable = probe.open(QIODevice::ReadOnly);
    probe.close();
    // Shows the usual box when the file cannot be opened.
    const QByteArray data = readFileBytes(resolved);
    if (data.isEmpty()) {
        m_errorString = readable ? QStringLiteral("上传文件为空!") : QStringLiteral("打开文件失败!");
        return false;
    }

    const QString boundary = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QByteArray body = multipartBody(boundary, fileNameOf(m_filePath), m_dataField, m_dataType, data);

    QNetworkRequest request{QUrl(m_uploadUrl)};
    request.setRawHeader("Connection", "Keep-Alive");
    request.setRawHeader("Content-Type", QStringLiteral("multipart/form-data; boundary=%1").arg(boundary).toLatin1());
    m_reply = m_manager->post(request, body);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &HttpUploader::error);
    connect(m_reply, &QNetworkReply::uploadProgress, this, &HttpUploader::uploadProgress);
    return true;
}
