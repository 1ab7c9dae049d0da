#include "store/persistence.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace Persist {

QString TagKey(const QString& buttonName)
{
    return buttonName + u".标记"_s;
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

QString DefaultConfigPath(const QString& programFolder)
{
    return QDir(programFolder).filePath(ConfigFileName());
}

QString ConfigFilePath(const QStringList& arguments, const QString& programFolder)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == u"--config"_s && i + 1 < arguments.size())
            return QFileInfo(arguments.at(i + 1)).absoluteFilePath();
        if (argument.startsWith(u"--config="_s))
            return QFileInfo(argument.mid(9)).absoluteFilePath();
    }
    return DefaultConfigPath(programFolder);
}

} // namespace Persist
