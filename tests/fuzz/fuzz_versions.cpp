// Version texts from qt.conf, packages and the page: compare two texts split at the first NUL.
#include "fuzzsetup.h"

#include "core/versions.h"

KAVO_FUZZ_SETUP

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    const int split = input.indexOf('\0');
    const QString a = QString::fromUtf8(split < 0 ? input : input.left(split));
    const QString b = QString::fromUtf8(split < 0 ? QByteArray() : input.mid(split + 1));
    const int forward = compareVersions(a, b);
    const int backward = compareVersions(b, a);
    // The order is antisymmetric, and a text is a version exactly when it equals itself.
    if (forward < -2 || forward > 1 || (forward != -2 && backward != -forward) || (forward == -2) != (backward == -2))
        abort();
    if (isVersionText(a) != (compareVersions(a, a) == 0))
        abort();
    return 0;
}
