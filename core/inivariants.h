#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringView>
#include <QVariant>

#include <functional>

class QSettings;
class QTemporaryFile;

// Qt's settings reader decodes every "@Variant(" and "@DateTime(" element of a file through Qt's
// own variant reader, which trusts the counts in it: a list claiming four billion entries aborts
// the program. It does so for every line it parses, also for a key that a later line of the same
// name overrides, so no check of the values it returns can make a file safe for it. An INI file
// from disk is therefore only ever parsed with every value made inert: "@@" after each '=' and ','
// (the only places a value or list element starts) turns every element into plain text, one '@'
// of the pair stays, and what follows (past its blanks) is what the element was.
namespace IniVariants {
using Accepted = std::function<bool(const QString &key, QStringView element)>;
using Values = QHash<QString, QVariant>;

// Reads raw as the settings reader would, without decoding a variant. Every element that starts
// with '@' (other than "@@", "@Invalid()" and "@ByteArray(") must be one the caller accepts; such
// an element comes back as its stored text, for the caller to decode. Other elements come back as
// the reader gives them: texts, byte arrays, lists of them. copy receives the inert text (the
// caller chooses where it lies); codec is the file's text codec, none for Qt's escapes only.
bool read(const QByteArray &raw, QTemporaryFile &copy, const char *codec, const Accepted &accepted,
          Values *values = nullptr);
// The decoders that run Qt's variant reader.
bool decodesVariant(QStringView element);
// Makes settings read and write its file as UTF-8 (Qt 6 always does).
void useUtf8(QSettings &settings);
} // namespace IniVariants
