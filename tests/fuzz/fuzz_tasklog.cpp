// The download task log "update.rdl": read at every start of an update, from a folder any
// process of the user can write.
#include "fuzzsetup.h"

#include "download/downloadtasklog.h"

KAVO_FUZZ_SETUP

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString file = fuzz::path(QStringLiteral("update.rdl"));
    static const QString saved = fuzz::path(QStringLiteral("saved.rdl"));
    fuzz::writeInput(file, data, size);

    DownloadTaskLog log(file);
    QString error;
    if (!log.load(error))
        return 0;
    for (const DownloadTaskInfo &task : log.tasks()) {
        log.threadCount(task.url);
        log.unstartedOffsetIndex(task.url);
        log.fileSize(task.url);
        for (const FilePiece &piece : log.pieces(task.url))
            log.pieceDone(task.url, piece.id);
    }
    if (log.taskCount() > 0) {
        const DownloadTaskInfo first = log.tasks().first();
        log.setPieceDone(first.url, 0, 1);
        log.removePiece(first.url, 0);
        log.setThreadCount(first.url, 3);
    }
    log.save(saved);
    DownloadTaskLog again(saved);
    again.load(error);
    return 0;
}
