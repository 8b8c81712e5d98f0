#include "updater/packagesignature.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace {
const int PublicKeySize = 32;
const int SignatureSize = 64;

// Strict base64: any stray character, or a length other than the expected one, is a refusal.
QByteArray decodeExactly(const QByteArray &text, int size)
{
    if (text.size() > PackageSignature::MaxSignatureText)
        return QByteArray();
    const QByteArray trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return QByteArray();
    const auto decoded = QByteArray::fromBase64Encoding(trimmed, QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok || decoded.decoded.size() != size)
        return QByteArray();
    return decoded.decoded;
}

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
} // namespace

QByteArray PackageSignature::decodePublicKey(const QString &base64)
{
    return decodeExactly(base64.toLatin1(), PublicKeySize);
}

PackageSignature::Result PackageSignature::verify(const QString &packagePath, const QByteArray &signatureText,
                                                  const QString &publicKey)
{
    const QByteArray key = decodePublicKey(publicKey);
    if (key.isEmpty())
        return InvalidKey;
    if (signatureText.trimmed().isEmpty())
        return MissingSignature;
    const QByteArray signature = decodeExactly(signatureText, SignatureSize);
    if (signature.isEmpty())
        return MalformedSignature;

    QFile file(packagePath);
    if (!file.open(QIODevice::ReadOnly))
        return UnreadablePackage;
    // Ed25519 signs the message as a whole, so the package is mapped rather than read into memory.
    const qint64 size = file.size();
    static const uchar empty = 0;
    const uchar *data = size > 0 ? file.map(0, size) : &empty;
    if (!data)
        return UnreadablePackage;

    std::unique_ptr<EVP_PKEY, PkeyFree> pkey(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(key.constData()), size_t(key.size())));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!pkey || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return InvalidKey;
    const int verified
        = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                           size_t(signature.size()), data, size_t(size));
    return verified == 1 ? Valid : Mismatch;
}

QString PackageSignature::describe(Result result)
{
    switch (result) {
    case Valid:
        return QStringLiteral("signature valid");
    case InvalidKey:
        return QStringLiteral("the configured UpdatePublicKey is not base64 of a 32-byte Ed25519 key");
    case MissingSignature:
        return QStringLiteral("no signature");
    case MalformedSignature:
        return QStringLiteral("the signature is not base64 of 64 bytes");
    case UnreadablePackage:
        return QStringLiteral("the package cannot be read");
    case Mismatch:
        return QStringLiteral("the signature does not match the package and key");
    }
    return QString();
}
