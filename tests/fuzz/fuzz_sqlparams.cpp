// SQL text from a page, before the client database prepares it: "@name" markers outside quoted
// literals, names and comments become ":name". The rewrite changes nothing but those markers,
// is stable when applied again, and finds the same parameters SQLite's own tokenizer finds.
#include "fuzzsetup.h"

#include "bridge/clientdb.h"

#include <QSet>

#include <sqlite3.h>

KAVO_FUZZ_SETUP

namespace {

// The named parameters SQLite sees in the first statement, or false when it cannot prepare it.
bool parameters(sqlite3 *db, const QByteArray &sql, QSet<QByteArray> *names)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.constData(), sql.size(), &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return false;
    }
    const int count = sqlite3_bind_parameter_count(statement);
    for (int i = 1; i <= count; ++i) {
        const char *name = sqlite3_bind_parameter_name(statement, i);
        if (name)
            names->insert(QByteArray(name));
    }
    sqlite3_finalize(statement);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static sqlite3 *db = [] {
        sqlite3 *opened = nullptr;
        if (sqlite3_open(":memory:", &opened) != SQLITE_OK
            || sqlite3_exec(opened, "CREATE TABLE t(a, b, \"c d\")", nullptr, nullptr, nullptr) != SQLITE_OK)
            abort();
        return opened;
    }();
    const QString sql = QString::fromUtf8(fuzz::bytes(data, size));
    const QString rewritten = ClientDb::rewriteParameterMarkers(sql);
    if (rewritten.size() != sql.size())
        abort();
    for (int i = 0; i < sql.size(); ++i) {
        if (rewritten.at(i) != sql.at(i) && !(sql.at(i) == QLatin1Char('@') && rewritten.at(i) == QLatin1Char(':')))
            abort();
    }
    if (ClientDb::rewriteParameterMarkers(rewritten) != rewritten)
        abort();

    // SQLite takes "@name" itself: every parameter it finds in the page's text must be there,
    // renamed, after the rewrite, and no other.
    const QByteArray original = sql.toUtf8();
    QSet<QByteArray> before;
    if (original.contains('\0') || !parameters(db, original, &before))
        return 0;
    // A numbered "?NNN" takes a slot a name may hold too, and each slot reports one name: once
    // "@a" and ":a" share a slot after the rewrite, the slots, and so the names, shift.
    for (const QByteArray &name : before) {
        if (name.startsWith('?'))
            return 0;
    }
    QSet<QByteArray> expected;
    for (QByteArray name : before) {
        if (name.startsWith('@'))
            name[0] = ':';
        expected.insert(name);
    }
    // "@a" is ":a" to the client database: a statement naming both has one parameter after the
    // rewrite, by design.
    if (expected.size() != before.size())
        return 0;
    QSet<QByteArray> after;
    if (!parameters(db, rewritten.toUtf8(), &after) || after != expected)
        abort();
    return 0;
}
