#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class QProgressBar;

// Installs the unpacked package the updater runs from over the application root, with a
// progress bar. An installation is all or nothing: each file goes in through a temporary file
// and a rename, every replaced file is backed up first, and any failure puts the backups back.
class UpdateDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(UpdateDialog)
public:
    // sourceDir is the unpacked package; empty means the running executable's directory.
    explicit UpdateDialog(const QString &sourceDir = QString(), QWidget *parent = nullptr);

    // Milliseconds to wait after each file, so a short copy still shows its progress.
    static int fileDelayFor(int fileCount);

    QString sourceDir() const { return m_sourceDir; }
    QString logDir() const { return m_logDir; }
    int fileDelay() const { return m_fileDelay; }
    int fileCount() const { return m_files.size(); }

    void start();
    // Copies every file below source over target; false, with the target as it was, on failure.
    bool copyTree(const QString &source, const QString &target);

signals:
    void updateFinished(bool bSuc);

private:
    struct Replaced
    {
        QString relative;
        bool hadOld;
    };
    void rollback(const QString &target, const QList<Replaced> &replaced);
    void advance();
    QString backupDir() const;

    QString m_sourceDir;
    QString m_logDir;
    QStringList m_files; // relative to m_sourceDir
    int m_fileDelay = 0;
    QProgressBar *m_progressBar = nullptr;
};
