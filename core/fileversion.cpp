#include "fileversion.h"

#include "fileutils.h"

#include <QFile>
#include <QRegularExpression>

#include <cstring>
#include <elf.h>

namespace {

const char SectionName[] = ".kavo_version";
const qint64 MaxStampSize = 64;

template<typename T> bool readAt(QFile &file, qint64 offset, T *out, qint64 size = sizeof(T))
{
    return file.seek(offset) && file.read(reinterpret_cast<char *>(out), size) == size;
}

template<typename Ehdr, typename Shdr> QByteArray findSection(QFile &file)
{
    Ehdr header;
    if (!readAt(file, 0, &header) || header.e_shentsize != sizeof(Shdr))
        return QByteArray();
    Shdr names;
    if (header.e_shstrndx >= header.e_shnum
        || !readAt(file, qint64(header.e_shoff) + qint64(header.e_shstrndx) * sizeof(Shdr), &names))
        return QByteArray();
    for (int i = 0; i < header.e_shnum; ++i) {
        Shdr section;
        if (!readAt(file, qint64(header.e_shoff) + qint64(i) * sizeof(Shdr), &section))
            return QByteArray();
        char name[sizeof(SectionName)] = {};
        if (section.sh_name >= names.sh_size
            || !readAt(file, qint64(names.sh_offset) + section.sh_name, name, sizeof(name)))
            continue;
        if (std::memcmp(name, SectionName, sizeof(SectionName)) != 0)
            continue;
        if (section.sh_type == SHT_NOBITS)
            return QByteArray();
        if (!file.seek(qint64(section.sh_offset)))
            return QByteArray();
        return file.read(qMin<qint64>(qint64(section.sh_size), MaxStampSize));
    }
    return QByteArray();
}

} // namespace

QString fileVersion(const QString &path)
{
    QFile file(absolutePath(path));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    unsigned char ident[EI_NIDENT];
    if (!readAt(file, 0, ident, EI_NIDENT) || std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_DATA] != ELFDATA2LSB)
        return QString();
    QByteArray raw;
    if (ident[EI_CLASS] == ELFCLASS64)
        raw = findSection<Elf64_Ehdr, Elf64_Shdr>(file);
    else if (ident[EI_CLASS] == ELFCLASS32)
        raw = findSection<Elf32_Ehdr, Elf32_Shdr>(file);
    const int end = raw.indexOf('\0');
    const QString text = QString::fromLatin1(end < 0 ? raw : raw.left(end)).trimmed();
    static const QRegularExpression fourNumbers(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+$"));
    return fourNumbers.match(text).hasMatch() ? text : QString();
}
