#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class QProgressBar;

// Installs the unpacked package the updater runs from over the application root, with a
// progress bar. An installation is all or nothing: its plan is journalled in the download
// directory first, every replaced original is moved aside into "backup/" there, each new file
// goes in through a temporary file and a rename, and any failure puts the originals back.
// The user's databases and settings already installed are never replaced.
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
    // Whether the file at relative, installed at the given path, is user state to keep;
    // packaged is the package's file for it.
    static bool isUserData(const QString &relative, const QString &installed, const QString &packaged);

signals:
    void updateFinished(bool bSuc);

private:
    static bool keepOriginal(const QString &installed, const QString &backup);
    void advance();

    QString m_sourceDir;
    QString m_logDir;
    QStringList m_files; // relative to m_sourceDir
    int m_fileDelay = 0;
    QProgressBar *m_progressBar = nullptr;
};
