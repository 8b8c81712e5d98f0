// The header chain a page hands to a remote-data request ("12~Content-Type16~application/json").
#include "fuzzsetup.h"

#include "bridge/remotedata.h"

#include <QMap>

KAVO_FUZZ_SETUP

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString chain = QString::fromUtf8(fuzz::bytes(data, size));
    const RemoteDataClient::HeaderList headers = RemoteDataClient::parseHeaderChain(chain);
    QMap<QString, QString> map;
    int total = 0;
    for (const auto &header : headers) {
        if (header.first.isEmpty() || header.second.isEmpty())
            abort();
        total += header.first.size() + header.second.size();
        map.insert(header.first, header.second);
    }
    // Every name and value is a piece of the chain: the pairs never hold more than it did.
    if (total > chain.size())
        abort();
    RemoteDataClient::extrasLiteral(200, map);
    RemoteDataClient::normaliseLineEnds(chain);
    return 0;
}
