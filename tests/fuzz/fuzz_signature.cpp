// The update package's signature text and the configured public key: base64 from the network
// and from qt.conf, checked against a small package file. The input is a signature text, or,
// after a NUL, a key text too.
#include "fuzzsetup.h"

#include "updater/packagesignature.h"

KAVO_FUZZ_SETUP

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString package = [] {
        const QString path = fuzz::path(QStringLiteral("package.zip"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0')) != 22)
            abort();
        return path;
    }();
    // A well-formed key (32 bytes of base64) unless the input brings its own.
    static const QString wellFormedKey = QString::fromLatin1(QByteArray(32, '\x11').toBase64());
    const QByteArray input = fuzz::bytes(data, size);
    const int split = input.indexOf('\0');
    const QByteArray signature = split < 0 ? input : input.left(split);
    const QString key = split < 0 ? wellFormedKey : QString::fromLatin1(input.mid(split + 1));
    const PackageSignature::Result result = PackageSignature::verify(package, signature, key);
    // Nobody holds the secret of the fixed key: no signature text is ever valid for it.
    if (split < 0 && result == PackageSignature::Valid)
        abort();
    PackageSignature::describe(result);
    PackageSignature::decodePublicKey(QString::fromUtf8(input));
    return 0;
}
