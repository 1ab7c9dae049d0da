#include "store/persistence.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace Persist {

QString TagKey(const QString& buttonName)
{
    return buttonName + u".标记"_s;
}

QString NotifyTargetKey(int number)
{
    return u"通知目标%1"_s.arg(number);
}

QString NotifyTargetSecretKey(int number)
{
    return NotifyTargetKey(number) + u".密钥"_s;
}

QString ProgramTitle()
{
    return u"岚澈·巡更灯"_s;
}

QString ProgramVersion()
{
    return QStringLiteral(PATROL_VERSION);
}

QString WindowCaption()
{
    return ProgramTitle() + u" v"_s + ProgramVersion();
}

QString ConfigFileName()
{
    return ProgramTitle() + u".ini"_s;
}

bool IsInstalledCopy(const QString& programFolder, bool folderWritable)
{
    if (!folderWritable)
        return true;
    const QString folder = QDir::cleanPath(programFolder);
    return folder.startsWith(u"/usr/"_s) || folder == u"/bin"_s || folder == u"/sbin"_s;
}

bool IsWritableFolder(const QString& folder)
{
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

QString ProgramFolder()
{
    return QFileInfo(QFileInfo(u"/proc/self/exe"_s).canonicalFilePath()).absolutePath();
}

namespace {

QString XdgFolder(const char* variable, const QString& homeRelative)
{
    QString base = qEnvironmentVariable(variable);
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + u'/' + homeRelative;
    return QDir::cleanPath(base + u"/patrol-lamp"_s);
}

} // namespace

QString XdgConfigFolder()
{
    return XdgFolder("XDG_CONFIG_HOME", u".config"_s);
}

QString XdgDataFolder()
{
    return XdgFolder("XDG_DATA_HOME", u".local/share"_s);
}

QString DefaultConfigPath(const QString& programFolder)
{
    return DefaultConfigPath(programFolder, IsWritableFolder(programFolder));
}

QString DefaultConfigPath(const QString& programFolder, bool folderWritable)
{
    const QString folder = IsInstalledCopy(programFolder, folderWritable) ? XdgConfigFolder() : programFolder;
    return QDir(folder).filePath(ConfigFileName());
}

QString DataFolder(const QString& programFolder)
{
    return DataFolder(programFolder, IsWritableFolder(programFolder));
}

QString DataFolder(const QString& programFolder, bool folderWritable)
{
    return IsInstalledCopy(programFolder, folderWritable) ? XdgDataFolder() : QDir::cleanPath(programFolder);
}

QString GivenConfigPath(const QStringList& arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == u"--config"_s && i + 1 < arguments.size())
            return QFileInfo(arguments.at(i + 1)).absoluteFilePath();
        if (argument.startsWith(u"--config="_s))
            return QFileInfo(argument.mid(9)).absoluteFilePath();
    }
    return {};
}

QString ConfigFilePath(const QStringList& arguments, const QString& programFolder)
{
    const QString given = GivenConfigPath(arguments);
    return given.isEmpty() ? DefaultConfigPath(programFolder) : given;
}

} // namespace Persist
