#include "updater/updatedialog.h"

#include "core/fileutils.h"
#include "core/updatearea.h"
#include "core/logutils.h"

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFileInfo>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QStringList filesBelow(const QString &dir)
{
    QStringList files;
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        return files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(dir).relativeFilePath(it.next()));
    files.sort();
    return files;
}

} // namespace

UpdateDialog::UpdateDialog(const QString &sourceDir, QWidget *parent)
    : QDialog(parent, Qt::CustomizeWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowMinimizeButtonHint)
{
    m_sourceDir = QDir::cleanPath(sourceDir.isEmpty() ? applicationDir() : absolutePath(sourceDir));
    m_logDir = m_sourceDir.left(m_sourceDir.lastIndexOf(QLatin1Char('/')));
    m_files = filesBelow(m_sourceDir);
    m_fileDelay = fileDelayFor(m_files.size());

    setWindowTitle(QStringLiteral("正在升级..."));
    auto *layout = new QVBoxLayout(this);
    m_progressBar = new QProgressBar(this);
    m_progressBar->setRange(0, m_files.size());
    m_progressBar->setValue(0);
    layout->addWidget(m_progressBar);
}

int UpdateDialog::fileDelayFor(int fileCount)
{
    if (fileCount <= 0)
        return 0;
    const int delay = 1000 / fileCount;
    return delay < 10 ? 0 : delay;
}

QString UpdateDialog::backupDir() const
{
    return m_logDir + QStringLiteral("/backup");
}

void UpdateDialog::start()
{
    if (!m_progressBar || m_sourceDir.isEmpty())
        return;
    const QString root = UpdateArea::applicationRoot(m_sourceDir);
    if (root.isEmpty()) {
        LogUtils::info(m_logDir, QStringLiteral("拷贝升级文件结束."));
        emit updateFinished(false);
        return;
    }
    show();
    LogUtils::info(m_logDir, QStringLiteral("开始拷贝升级文件..."));
    const bool ok = copyTree(m_sourceDir, root);
    hide();
    LogUtils::info(m_logDir, QStringLiteral("拷贝升级文件结束."));
    emit updateFinished(ok);
}

void UpdateDialog::advance()
{
    if (m_progressBar->value() < m_progressBar->maximum())
        m_progressBar->setValue(m_progressBar->value() + 1);
    // Waiting in a local loop keeps the bar painting while the copy spreads over a second.
    QEventLoop loop;
    QTimer::singleShot(m_fileDelay, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

bool UpdateDialog::copyTree(const QString &source, const QString &target)
{
    const QString from = source.isEmpty() ? QString() : QDir::cleanPath(absolutePath(source));
    const QString to = target.isEmpty() ? QString() : QDir::cleanPath(absolutePath(target));
    if (from.isEmpty() || to.isEmpty() || !QFileInfo(from).isDir() || from == to) {
        LogUtils::error(m_logDir, QStringLiteral("拷贝路径有误！"));
        return false;
    }
    const QStringList files = from == m_sourceDir ? m_files : filesBelow(from);
    const QString backups = backupDir();
    removeDir(backups);

    QList<Replaced> replaced;
    for (const QString &relative : files) {
        const QString destination = to + QLatin1Char('/') + relative;
        const QFileInfo old(destination);
        const bool hadOld = old.exists() || old.isSymLink();
        // The old file is kept aside before it is touched, so a later failure can restore it.
        if (hadOld && (old.isDir() || !copyFile(destination, backups + QLatin1Char('/') + relative))) {
            LogUtils::error(m_logDir, QStringLiteral("删除文件：") + relative + QStringLiteral("失败!"));
            rollback(to, replaced);
            return false;
        }
        replaced.append({relative, hadOld});
        if (!copyFile(from + QLatin1Char('/') + relative, destination)) {
            LogUtils::error(m_logDir, QStringLiteral("拷贝文件:") + relative + QStringLiteral("失败!"));
            rollback(to, replaced);
            return false;
        }
        advance();
    }
    removeDir(backups);
    return true;
}

void UpdateDialog::rollback(const QString &target, const QList<Replaced> &replaced)
{
    bool restored = true;
    for (int i = replaced.size() - 1; i >= 0; --i) {
        const Replaced &entry = replaced.at(i);
        const QString destination = target + QLatin1Char('/') + entry.relative;
        const bool ok = entry.hadOld ? copyFile(backupDir() + QLatin1Char('/') + entry.relative, destination)
                                     : removeFile(destination);
        if (!ok) {
            restored = false;
            LogUtils::error(m_logDir, QStringLiteral("拷贝文件:") + entry.relative + QStringLiteral("失败!"));
        }
    }
    // Backups that could not be put back stay, so nothing of the old installation is lost.
    if (restored)
        removeDir(backupDir());
}
