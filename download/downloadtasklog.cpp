#include "download/downloadtasklog.h"

#include "core/fileutils.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamWriter>
#include <cstdio>

DownloadTaskLog::DownloadTaskLog(const QString &logPath, QObject *parent)
    : QObject(parent), m_logPath(logPath)
{
}

bool DownloadTaskLog::exists() const
{
    return !m_logPath.isEmpty() && QFileInfo::exists(absolutePath(m_logPath));
}

bool DownloadTaskLog::load(const QString &path, QString &errorMessage)
{
    m_logPath = path;
    m_order.clear();
    m_tasks.clear();
    QFile file(absolutePath(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QDomDocument doc;
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    if (const QDomDocument::ParseResult parsed = doc.setContent(&file); !parsed) {
        errorMessage = QStringLiteral("%0 at line:%1,col:%2").arg(parsed.errorMessage).arg(parsed.errorLine).arg(parsed.errorColumn);
        return false;
    }
#else
    QString message;
    int line = 0;
    int column = 0;
    if (!doc.setContent(&file, &message, &line, &column)) {
        errorMessage = QStringLiteral("%0 at line:%1,col:%2").arg(message).arg(line).arg(column);
        return false;
    }
#endif
    const QDomNodeList taskNodes = doc.elementsByTagName(QStringLiteral("Task"));
    for (int i = 0; i < taskNodes.size(); ++i) {
        const QDomElement task = taskNodes.at(i).toElement();
        DownloadTaskInfo info;
        bool ok = false;
        info.url = task.attribute(QStringLiteral("Url"));
        if (info.url.isEmpty())
            continue;
        info.savePath = task.attribute(QStringLiteral("SavePath"));
        if (info.savePath.isEmpty())
            continue;
        info.threadCount = task.attribute(QStringLiteral("ThreadCount")).toInt(&ok);
        if (!ok)
            continue;
        info.fileSize = task.attribute(QStringLiteral("FileSize")).toLongLong(&ok);
        if (!ok)
            continue;
        info.unstartedOffsetIndex = task.attribute(QStringLiteral("UnstartedOffsetIndex")).toInt(&ok);
        if (!ok)
            continue;
        const QDomNodeList pieceNodes = task.elementsByTagName(QStringLiteral("Piece"));
        for (int k = 0; k < pieceNodes.size(); ++k) {
            const QDomElement p = pieceNodes.at(k).toElement();
            FilePiece piece;
            // A malformed piece keeps what was read before the first bad value.
            piece.id = p.attribute(QStringLiteral("PieceID")).toInt(&ok);
            if (ok)
                piece.start = p.attribute(QStringLiteral("Start")).toLongLong(&ok);
            if (ok)
                piece.end = p.attribute(QStringLiteral("End")).toLongLong(&ok);
            if (ok)
                piece.done = p.attribute(QStringLiteral("Done")).toLongLong(&ok);
            info.pieces.append(piece);
        }
        addTask(info);
    }
    return true;
}

bool DownloadTaskLog::load(QString &errorMessage)
{
    if (m_logPath.isEmpty())
        return false;
    return load(m_logPath, errorMessage);
}

bool DownloadTaskLog::save(const QString &path)
{
    // Written beside and renamed over the log: a killed process leaves the old or the new log.
    // No fsync: the log is rewritten after every block, and a sync each time costs most of the speed.
    const QString target = absolutePath(path);
    const QString partial = target + QStringLiteral(".part");
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(4);
    xml.writeStartDocument(QStringLiteral("1.0"));
    xml.writeStartElement(QStringLiteral("Tasks"));
    for (const QString &url : m_order) {
        const DownloadTaskInfo &info = m_tasks[url];
        xml.writeStartElement(QStringLiteral("Task"));
        xml.writeAttribute(QStringLiteral("Url"), info.url);
        xml.writeAttribute(QStringLiteral("SavePath"), info.savePath);
        xml.writeAttribute(QStringLiteral("ThreadCount"), QString::number(info.threadCount));
        xml.writeAttribute(QStringLiteral("FileSize"), QString::number(info.fileSize));
        xml.writeAttribute(QStringLiteral("UnstartedOffsetIndex"), QString::number(info.unstartedOffsetIndex));
        for (const FilePiece &piece : info.pieces) {
            xml.writeEmptyElement(QStringLiteral("Piece"));
            xml.writeAttribute(QStringLiteral("PieceID"), QString::number(piece.id));
            xml.writeAttribute(QStringLiteral("Start"), QString::number(piece.start));
            xml.writeAttribute(QStringLiteral("End"), QString::number(piece.end));
            xml.writeAttribute(QStringLiteral("Done"), QString::number(piece.done));
        }
        xml.writeEndElement();
    }
    xml.writeEndDocument();
    file.close();
    if (xml.hasError() || file.error() != QFileDevice::NoError) {
        QFile::remove(partial);
        return false;
    }
    return ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(target).constData()) == 0;
}

bool DownloadTaskLog::save()
{
    if (m_logPath.isEmpty())
        return false;
    return save(m_logPath);
}

QList<DownloadTaskInfo> DownloadTaskLog::tasks() const
{
    QList<DownloadTaskInfo> result;
    for (const QString &url : m_order)
        result.append(m_tasks.value(url));
    return result;
}

bool DownloadTaskLog::getTask(const QString &url, DownloadTaskInfo &info) const
{
    auto it = m_tasks.constFind(url);
    if (it == m_tasks.constEnd())
        return false;
    info = *it;
    return true;
}

bool DownloadTaskLog::getTask(int index, DownloadTaskInfo &info) const
{
    if (index < 0 || index >= m_order.size())
        return false;
    info = m_tasks.value(m_order.at(index));
    return true;
}

bool DownloadTaskLog::addTask(const DownloadTaskInfo &info)
{
    removeTask(info.url);
    m_order.append(info.url);
    m_tasks.insert(info.url, info);
    return true;
}

void DownloadTaskLog::updateTask(const QString &url, const DownloadTaskInfo &info)
{
    if (m_tasks.contains(url))
        m_tasks[url] = info;
}

void DownloadTaskLog::removeTask(const QString &url)
{
    if (m_tasks.remove(url))
        m_order.removeAll(url);
}

int DownloadTaskLog::threadCount(const QString &url) const
{
    auto it = m_tasks.constFind(url);
    return it == m_tasks.constEnd() ? -1 : it->threadCount;
}

int DownloadTaskLog::unstartedOffsetIndex(const QString &url) const
{
    auto it = m_tasks.constFind(url);
    return it == m_tasks.constEnd() ? -1 : it->unstartedOffsetIndex;
}

qint64 DownloadTaskLog::fileSize(const QString &url) const
{
    auto it = m_tasks.constFind(url);
    return it == m_tasks.constEnd() ? -1 : it->fileSize;
}

bool DownloadTaskLog::setThreadCount(const QString &url, int n)
{
    auto it = m_tasks.find(url);
    if (it == m_tasks.end())
        return false;
    it->threadCount = n;
    return true;
}

bool DownloadTaskLog::setUnstartedOffsetIndex(const QString &url, int n)
{
    auto it = m_tasks.find(url);
    if (it == m_tasks.end())
        return false;
    it->unstartedOffsetIndex = n;
    return true;
}

bool DownloadTaskLog::setFileSize(const QString &url, qint64 size)
{
    auto it = m_tasks.find(url);
    if (it == m_tasks.end())
        return false;
    it->fileSize = size;
    return true;
}

QList<FilePiece> DownloadTaskLog::pieces(const QString &url) const
{
    return m_tasks.value(url).pieces;
}

qint64 DownloadTaskLog::pieceDone(const QString &url, int id) const
{
    auto it = m_tasks.constFind(url);
    if (it == m_tasks.constEnd())
        return -1;
    for (const FilePiece &piece : it->pieces) {
        if (piece.id == id)
            return piece.done;
    }
    return -1;
}

bool DownloadTaskLog::setPieceDone(const QString &url, int id, qint64 done)
{
    auto it = m_tasks.find(url);
    if (it == m_tasks.end())
        return false;
    for (FilePiece &piece : it->pieces) {
        if (piece.id == id)
            piece.done = done;
    }
    return true;
}

bool DownloadTaskLog::appendPiece(const QString &url, const FilePiece &piece)
{
    auto it = m_tasks.find(url);
    if (it == m_tasks.end())
        return false;
    it->pieces.append(piece);
    return true;
}

bool DownloadTaskLog::setPiece(const QString &url, const FilePiece &piece)
{
    auto it = m_tasks.find(url);
    if (it == m_tasks.end())
        return false;
    it->pieces.removeAll(piece);
    it->pieces.append(piece);
    return true;
}

int DownloadTaskLog::removePiece(const QString &url, int id)
{
    auto it = m_tasks.find(url);
    if (it == m_tasks.end())
        return 0;
    return it->pieces.removeAll(FilePiece(id, 0, 0, 0));
}
