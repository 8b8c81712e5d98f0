#include "updater/updatedialog.h"

#include "core/fileutils.h"
#include "core/updatearea.h"
#include "core/installjournal.h"
#include "core/logutils.h"

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFileInfo>
#include <QSet>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <utility>

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

// The user's own state lives beside the application's files: a client database (recognised by
// its header, whatever its name, or still empty where the package brings one), its journals,
// the settings file and the picture cache. An update brings them only where none exists yet,
// so an application can ship a starting database without ever replacing the user's.
bool UpdateDialog::isUserData(const QString &relative, const QString &installed, const QString &packaged)
{
    static const QRegularExpression userState(QStringLiteral("^data/user\\.conf$|^data/[^/]+/_pictures/|-journal$|-wal$|-shm$"));
    if (userState.match(relative).hasMatch())
        return true;
    static const QByteArray sqliteHeader("SQLite format 3\0", 16);
    auto header = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.read(16) : QByteArray();
    };
    const QFileInfo info(installed);
    // SQLite makes the file when it opens a database and writes its header only with the
    // first table: an empty file where the package has a database is the user's, not yet filled.
    if (info.isFile() && info.size() == 0)
        return header(packaged) == sqliteHeader;
    return header(installed) == sqliteHeader;
}

bool UpdateDialog::copyTree(const QString &source, const QString &target)
{
    const QString from = source.isEmpty() ? QString() : QDir::cleanPath(absolutePath(source));
    const QString to = target.isEmpty() ? QString() : QDir::cleanPath(absolutePath(target));
    if (from.isEmpty() || to.isEmpty() || !QFileInfo(from).isDir() || from == to) {
        LogUtils::error(m_logDir, QStringLiteral("拷贝路径有误！"));
        return false;
    }
    InstallJournal journal(m_logDir);
    // An earlier installation that no start has repaired yet: its backups are the only copy
    // of the originals, so nothing may be installed over it.
    if (InstallJournal::holdsInstallState(m_logDir)) {
        LogUtils::error(m_logDir, QStringLiteral("上次升级的备份尚未恢复, 不能再次安装: ") + journal.backupDir());
        return false;
    }

    // The whole plan is on disk before the first file is touched.
    const QStringList files = from == m_sourceDir ? m_files : filesBelow(from);
    QSet<QString> plannedDirs;
    for (const QString &relative : files) {
        // The update area holds this installation's journal and backups and every download's
        // state: a package that writes there is refused before anything is touched.
        if (relative.startsWith(QLatin1String("data/update/"))) {
            LogUtils::error(m_logDir, QStringLiteral("升级包不能写入升级目录: ") + relative);
            return false;
        }
        const QString destination = to + QLatin1Char('/') + relative;
        const QFileInfo old(destination);
        const bool hadOld = old.exists() || old.isSymLink();
        if (hadOld && old.isFile() && isUserData(relative, destination, from + QLatin1Char('/') + relative)) {
            LogUtils::info(m_logDir, QStringLiteral("保留用户数据: ") + relative);
            advance();
            continue;
        }
        // Directories this installation creates, shallowest first, so a rollback removes them.
        const QStringList parts = relative.split(QLatin1Char('/'));
        QString dir;
        for (int i = 0; i + 1 < parts.size(); ++i) {
            dir += (dir.isEmpty() ? QString() : QStringLiteral("/")) + parts.at(i);
            if (!plannedDirs.contains(dir) && !QFileInfo::exists(to + QLatin1Char('/') + dir)) {
                plannedDirs.insert(dir);
                journal.createdDirs << dir;
            }
        }
        journal.entries.append({relative, hadOld});
    }
    journal.version = QFileInfo(m_logDir).fileName();
    journal.state = InstallJournal::State::Installing;
    if (!journal.save()) {
        LogUtils::error(m_logDir, QStringLiteral("无法写入安装记录: ") + journal.path());
        return false;
    }

    // Each original keeps a second name in the backup, then its new version is renamed over it:
    // whatever ends this run, every path holds a whole file, old or new.
    QSet<QString> touchedDirs;
    for (int i = 0; i < journal.entries.size(); ++i) {
        testKillPoint("copy", i);
        const InstallJournal::Entry &entry = journal.entries.at(i);
        const QString destination = to + QLatin1Char('/') + entry.relative;
        if (entry.hadOld && !keepOriginal(destination, journal.backupOf(entry.relative))) {
            LogUtils::error(m_logDir, QStringLiteral("删除文件：") + entry.relative + QStringLiteral("失败!"));
            InstallRepair::rollBack(journal, to);
            return false;
        }
        testKillPoint("aside", i);
        if (!InstallJournal::replaceFile(from + QLatin1Char('/') + entry.relative, destination)) {
            LogUtils::error(m_logDir, QStringLiteral("拷贝文件:") + entry.relative + QStringLiteral("失败!"));
            InstallRepair::rollBack(journal, to);
            return false;
        }
        touchedDirs.insert(QFileInfo(destination).absolutePath());
        if (entry.hadOld)
            touchedDirs.insert(QFileInfo(journal.backupOf(entry.relative)).absolutePath());
        advance();
    }
    for (const QString &dir : std::as_const(journal.createdDirs))
        touchedDirs.insert(QFileInfo(to + QLatin1Char('/') + dir).absolutePath());
    testKillPoint("copy", journal.entries.size());
    // The renames reach the disk before the journal says they happened.
    for (const QString &dir : std::as_const(touchedDirs)) {
        if (!InstallJournal::syncDir(dir)) {
            LogUtils::error(m_logDir, QStringLiteral("无法同步目录: ") + dir);
            InstallRepair::rollBack(journal, to);
            return false;
        }
    }
    journal.state = InstallJournal::State::Installed;
    if (!journal.save()) {
        LogUtils::error(m_logDir, QStringLiteral("无法写入安装记录: ") + journal.path());
        InstallRepair::rollBack(journal, to);
        return false;
    }
    return true;
}

// The original stays where it is; the backup is a second name for it (or a copy).
bool UpdateDialog::keepOriginal(const QString &installed, const QString &backup)
{
    const QFileInfo info(installed);
    // A directory where the package has a file cannot be replaced.
    if (info.isDir() && !info.isSymLink())
        return false;
    return InstallJournal::keepOriginal(installed, backup);
}
