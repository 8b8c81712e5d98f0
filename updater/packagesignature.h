#pragma once

#include <QByteArray>
#include <QString>

// Checks that an update package is the file its publisher signed: an Ed25519 signature
// (RFC 8032, the whole file as the message) against the raw 32-byte public key configured
// for the application. The key and the signature arrive as base64 texts; nothing is trusted
// until it decodes to exactly the expected length.
class PackageSignature
{
public:
    enum Result {
        Valid,
        InvalidKey,         // the configured key is not base64 of 32 bytes
        MissingSignature,   // no signature text at all
        MalformedSignature, // not base64 of 64 bytes
        UnreadablePackage,
        Mismatch            // well-formed, but not made by the key's owner over these bytes
    };

    // The longest signature text accepted: one base64 line with room for line ends.
    static constexpr int MaxSignatureText = 1024;

    // The raw key, or empty when the text is not base64 of exactly 32 bytes.
    static QByteArray decodePublicKey(const QString &base64);
    static Result verify(const QString &packagePath, const QByteArray &signatureText, const QString &publicKey);
    // For the log: what went wrong, in a few words.
    static QString describe(Result result);
};
