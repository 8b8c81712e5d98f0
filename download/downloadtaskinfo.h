#pragma once

#include "download/filepiece.h"

#include <QList>
#include <QString>

// One task of the task log: the download keyed by its URL, with the pieces that were handed
// to a connection and are not finished yet.
struct DownloadTaskInfo
{
    QString url;
    QString savePath;
    int threadCount = 5;
    int unstartedOffsetIndex = 0;
    qint64 fileSize = -1;
    QList<FilePiece> pieces;
};
