#pragma once

#include <QMetaType>
#include <QObject>

// One byte range [start, end] of a download with the count of bytes already stored from start.
// Used as a value: copies carry the four fields, never the QObject parent.
class FilePiece : public QObject
{
    Q_OBJECT
public:
    explicit FilePiece(QObject *parent = nullptr);
    FilePiece(int id, qint64 start, qint64 end, qint64 done, QObject *parent = nullptr);
    FilePiece(const FilePiece &other);
    FilePiece &operator=(const FilePiece &other);

    void reset();
    bool operator==(const FilePiece &other) const { return id == other.id; }
    bool isComplete() const { return start + done == end + 1; }
    qint64 size() const { return end - start + 1; }

    int id = -1;
    qint64 start = 0;
    qint64 end = 0;
    qint64 done = 0;
};

Q_DECLARE_METATYPE(FilePiece)
