#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QTemporaryFile;

// Qt's settings reader decodes every "@Variant(" and "@DateTime(" value of a section through
// Qt's own variant reader, which trusts the counts in it: a list claiming four billion entries
// aborts the program before the caller sees the value. Before an INI file from disk is read for
// real, it is read once with every value made inert: "@@" after each '=' and ',' (the only places
// a value or list element starts) turns every element into plain text, one '@' of the pair stays,
// and what follows (past its blanks) is what the element would have been.
namespace IniVariants {
// Whether every element that starts with '@' (other than "@@" and "@Invalid()") is one the
// caller accepts. copy receives the inert text; the caller chooses where it lies.
bool onlyAccepted(const QByteArray &raw, QTemporaryFile &copy,
                  const std::function<bool(const QString &key, const QStringRef &element)> &accepted);
// The decoders that run Qt's variant reader.
bool decodesVariant(const QStringRef &element);
} // namespace IniVariants
