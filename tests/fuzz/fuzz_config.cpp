// qt.conf and data/user.conf: the INI files beside the program, read as the programs read them.
#include "fuzzsetup.h"

#include "core/config.h"
#include "core/configparser.h"

KAVO_FUZZ_SETUP

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString file = fuzz::path(QStringLiteral("qt.conf"));
    static const QString saved = fuzz::path(QStringLiteral("saved.conf"));
    fuzz::writeInput(file, data, size);

    AppConfig app;
    app.load(file);
    ConfigParser parser(file);
    if (parser.open()) {
        parser.contains(QStringLiteral("System/App"));
        parser.floatValue(QStringLiteral("System/Scale"));
        parser.urlValue(QStringLiteral("System/Url"));
        parser.intValue(QStringLiteral("System/Port"));
    }
    if (!app.name().isEmpty()) {
        UserConfig user(app.name(), 0, 0);
        user.load(file);
        // What was read is written back and read again, as the window size is kept.
        QFile::remove(saved);
        if (user.save(saved)) {
            UserConfig again(app.name(), 0, 0);
            if (!again.load(saved) || again.width() != user.width() || again.height() != user.height())
                abort();
        }
    }
    return 0;
}
