#include "download/filepiece.h"

FilePiece::FilePiece(QObject *parent)
    : QObject(parent)
{
}

FilePiece::FilePiece(int id, qint64 start, qint64 end, qint64 done, QObject *parent)
    : QObject(parent), id(id), start(start), end(end), done(done)
{
}

FilePiece::FilePiece(const FilePiece &other)
    : QObject(nullptr), id(other.id), start(other.start), end(other.end), done(other.done)
{
}

FilePiece &FilePiece::operator=(const FilePiece &other)
{
    id = other.id;
    start = other.start;
    end = other.end;
    done = other.done;
    return *this;
}

void FilePiece::reset()
{
    id = -1;
    start = 0;
    end = 0;
    done = 0;
}
