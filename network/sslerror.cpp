#include "sslerror.h"

#include <QHash>

namespace {

const QHash<int, QString> &reasonTexts()
{
    static const QHash<int, QString> texts = [] {
        const QString run = QStringLiteral(" ") + QString(17, QLatin1Char('\t'));
        QHash<int, QString> t;
        t.insert(0, QStringLiteral("No error"));
        t.insert(1, QStringLiteral("The issuer certificate could not be found."));
        t.insert(2, QStringLiteral("The certificate signature could not be decrypted."));
        t.insert(3, QStringLiteral("The public key in the certificate could not be read."));
        t.insert(4, QStringLiteral("The signature of the certificate is invalid."));
        t.insert(5, QStringLiteral("The certificate is not yet valid."));
        t.insert(6, QStringLiteral("The certificate has expired."));
        t.insert(7, QStringLiteral("The certificate's notBefore field contains an invalid time."));
        t.insert(8, QStringLiteral("The certificate's notAfter field contains an invalid time."));
        t.insert(9, QStringLiteral("The certificate is self-signed, and untrusted."));
        t.insert(10, QStringLiteral("The root certificate of the certificate chain is self-signed, and untrusted."));
        t.insert(11, QStringLiteral("The issuer certificate of a locally looked up certificate could not be found."));
        t.insert(12, QStringLiteral("No certificates could be verified."));
        t.insert(13, QStringLiteral("The peer presented a certificate that was revoked."));
        t.insert(14, QStringLiteral("One of the CA certificates is invalid."));
        t.insert(15, QStringLiteral("The basicConstraints path length parameter has been exceeded"));
        t.insert(16, QStringLiteral("The supplied certificate is unsuitable for this purpose."));
        t.insert(17, QStringLiteral("The root CA certificate is not trusted for this purpose."));
        t.insert(18, QStringLiteral("The root CA certificate is marked to reject the specified purpose."));
        t.insert(19,
                 QStringLiteral("The current candidate issuer certificate was rejected because its subject name") + run
                     + QStringLiteral("did not match the issuer name of the current certificate."));
        t.insert(20,
                 QStringLiteral("The current candidate issuer certificate was rejected because its issuer name and")
                     + run
                     + QStringLiteral("serial number was present and did not match the authority key identifier of the")
                     + run + QStringLiteral("current certificate."));
        t.insert(21, QStringLiteral("The peer did not present any certificate."));
        t.insert(22, QStringLiteral("The host name did not match any of the valid hosts for this certificate."));
        t.insert(23, QStringLiteral("No SSL support."));
        t.insert(24, QStringLiteral("The peer presented a certificate that was blacklisted."));
        t.insert(-1, QStringLiteral("Unspecified error."));
        return t;
    }();
    return texts;
}

} // namespace

SslError::SslError(int code, QObject *parent)
    : QObject(parent)
    , m_code(code)
{
    reasonTexts();
}

QString SslError::toString() const
{
    const auto &texts = reasonTexts();
    const auto it = texts.constFind(m_code);
    if (it != texts.constEnd())
        return it.value();
    return QStringLiteral("Unknown error %1").arg(m_code);
}
