#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>

class QNetworkAccessManager;

// Posts one local file as multipart/form-data through its own network manager. Destroying the
// uploader ends a post still in flight.
class HttpUploader : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpUploader)
public:
    HttpUploader(const QString &filePath, const QString &uploadUrl, const QString &dataField,
                 const QString &dataType);
    ~HttpUploader() override;

    // Reads the file and posts it. False, with nothing sent, when the file cannot be read or is
    // empty; errorString() then says why.
    bool start();
    QString errorString() const { return m_errorString; }
    // Time without any transfer after which the post fails with a timeout; set before start().
    void setTransferTimeout(int milliseconds);

    // The request body, byte for byte: the boundary line twice at the start, the file name,
    // data-field and file parts, and the closing boundary.
    static QByteArray multipartBody(const QString &boundary, const QString &fileName, const QString &dataField,
                                    const QString &dataType, const QByteArray &data);
    // The part of the path after the last "/", or the whole path.
    static QString fileNameOf(const QString &filePath);
    // The file name parameters of the file part's Content-Disposition: filename="..." with quotes
    // and backslashes escaped and control characters replaced, plus filename*=UTF-8''... with the
    // exact name whenever it is not plain printable ASCII.
    static QByteArray fileNameParameters(const QString &fileName);

signals:
    void finished(QNetworkReply *reply);
    void error(QNetworkReply::NetworkError errorCode);
    void uploadProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    QNetworkAccessManager *m_manager;
    QNetworkReply *m_reply = nullptr;
    QString m_dataType;
    QString m_filePath;
    QString m_uploadUrl;
    QString m_dataField;
    QString m_errorString;
};
