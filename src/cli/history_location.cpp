#include "cli/history_location.h"

#include "store/history_store.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

QString HeadlessHistoryPath(const QString& historyOption, const QString& configPath)
{
    if (!historyOption.isEmpty())
        return historyOption;
    // systemd passes a colon-separated list when the unit names several directories; the first is ours.
    const QString stateDirs = qEnvironmentVariable("STATE_DIRECTORY");
    const QString stateDir = stateDirs.section(u':', 0, 0);
    if (!stateDir.isEmpty())
        return QDir(stateDir).filePath(u"history.sqlite"_s);
    return HistoryStore::PathBesideConfig(configPath);
}

bool PrepareHistoryFolder(const QString& historyPath, QString* error)
{
    const QString folder = QFileInfo(historyPath).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = u"历史记录不可用：无法创建文件夹 %1。监控照常进行，不记录历史。"_s.arg(folder);
        return false;
    }
    // SQLite writes its journal beside the file, so the folder must be writable as well.
    const QFileInfo fileInfo(historyPath);
    const bool fileBlocked = fileInfo.exists() && !fileInfo.isWritable();
    if (fileBlocked || !QFileInfo(folder).isWritable()) {
        *error = u"历史记录不可用：%1 不可写。监控照常进行，不记录历史。"_s.arg(fileBlocked ? historyPath : folder);
        return false;
    }
    return true;
}
