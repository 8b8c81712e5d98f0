// The install journal "install.journal" in a version's download folder: read at every start of
// either program to finish or undo an interrupted installation, from a folder any process of the
// user can write. Whatever it says, the paths it yields stay below the root, what it reads is
// what it writes back, and undoing it touches nothing outside the root.
#include "fuzzsetup.h"

#include "core/installjournal.h"

KAVO_FUZZ_SETUP

namespace {

bool below(const QString &relative)
{
    if (relative.isEmpty() || relative.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = relative.split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral("..")) && !parts.contains(QStringLiteral("."))
        && !parts.contains(QString());
}

bool sameEntries(const QList<InstallJournal::Entry> &a, const QList<InstallJournal::Entry> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a.at(i).relative != b.at(i).relative || a.at(i).hadOld != b.at(i).hadOld)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString dir = fuzz::path(QStringLiteral("update/5.0.0.1"));
    static const QString root = fuzz::path(QStringLiteral("root"));
    static const QString outside = fuzz::path(QStringLiteral("outside.txt"));
    static const bool made = [] {
        QDir().mkpath(dir);
        QDir().mkpath(root);
        QFile file(outside);
        return file.open(QIODevice::WriteOnly) && file.write("keep") == 4;
    }();
    if (!made)
        abort();
    InstallJournal journal(dir);
    fuzz::writeInput(journal.path(), data, size);
    QString error;
    if (!journal.load(&error))
        return 0;
    for (const InstallJournal::Entry &entry : journal.entries) {
        if (!below(entry.relative))
            abort();
    }
    for (const QString &created : journal.createdDirs) {
        if (!below(created))
            abort();
    }
    // What was read is written the way the installer writes it, and reads back the same.
    if (!journal.save())
        abort();
    InstallJournal again(dir);
    if (!again.load(&error) || again.state != journal.state || again.version != journal.version
        || !sameEntries(again.entries, journal.entries) || again.createdDirs != journal.createdDirs)
        abort();
    journal.rollback(root);
    if (!QFileInfo::exists(outside) || !QFileInfo(root).isDir())
        abort();
    return 0;
}
