#pragma once

#include <QString>
#include <QStringList>

// What the configuration file, the window and the headless command agree on. The component names are the
// window's objectNames and, through the form walk, the ini keys: renaming one loses what users stored.
// Inline variables are initialised before any namespace-scope object of a file that includes this header.
namespace Persist {

// The window's one section.
inline const QString kSection = QStringLiteral("主界面");

inline const QString kStatusCodesCheck = QStringLiteral("选择框按状态码");
inline const QString kStatusCodesEdit = QStringLiteral("编辑框状态码");
inline const QString kStatusPopupButton = QStringLiteral("按钮弹出状态列表");
inline const QString kInvertStatusCheck = QStringLiteral("选择框取反状态码");
inline const QString kContentCheck = QStringLiteral("选择框按网页内容");
inline const QString kContentEdit = QStringLiteral("编辑框网页内容");
inline const QString kContentInputButton = QStringLiteral("按钮输入网页内容");
inline const QString kInvertContentCheck = QStringLiteral("选择框取反网页内容");
inline const QString kTimeoutEdit = QStringLiteral("编辑框超时秒");
inline const QString kThreadsEdit = QStringLiteral("编辑框线程数");
inline const QString kIntervalEdit = QStringLiteral("编辑框间隔秒");
// The site list lives in this button's tag, stored under "<name>.标记".
inline const QString kSiteListButton = QStringLiteral("按钮输入网站列表");
inline const QString kStartButton = QStringLiteral("按钮开始监控");
inline const QString kCopyAllButton = QStringLiteral("按钮复制全部");

// The window's geometry and column widths: a section of their own, so the one above keeps exactly its keys.
inline const QString kWindowSection = QStringLiteral("窗口");
inline const QString kWindowLeft = QStringLiteral("左边");
inline const QString kWindowTop = QStringLiteral("顶边");
inline const QString kWindowWidth = QStringLiteral("宽度");
inline const QString kWindowHeight = QStringLiteral("高度");
inline const QString kWindowMaximized = QStringLiteral("最大化");
// Comma-separated pixel widths, one per column.
inline const QString kSiteColumnWidths = QStringLiteral("全部网站列宽");
inline const QString kAbnormalColumnWidths = QStringLiteral("不正常网站列宽");
// Alerts and history keep their settings in a section of their own; 主界面 keeps exactly its keys.
inline const QString kAlertsSection = QStringLiteral("提醒与历史");
inline const QString kHistoryEnabledKey = QStringLiteral("记录历史");
inline const QString kNotifyDesktopKey = QStringLiteral("桌面通知");
// Read as one generic webhook when no target count is stored; written as the first webhook target for older copies.
inline const QString kNotifyUrlKey = QStringLiteral("通知网址");
// Targets: the count, then per target n (from 1) "通知目标n" = "KIND=URL" and "通知目标n.密钥".
inline const QString kNotifyTargetCountKey = QStringLiteral("通知目标数");
inline const QString kConfirmPassesKey = QStringLiteral("连续几遍才提醒");
inline const QString kRemindMinutesKey = QStringLiteral("持续不正常每隔分钟提醒");
QString NotifyTargetKey(int number);
QString NotifyTargetSecretKey(int number);

// Key of a button's tag.
QString TagKey(const QString& buttonName);

// "岚澈·巡更灯": the caption without the version, and the configuration file's base name.
QString ProgramTitle();
// The build's version, PATROL_VERSION.
QString ProgramVersion();
// "岚澈·巡更灯 v<version>", the window's caption and the run's base title.
QString WindowCaption();
// "岚澈·巡更灯.ini"
QString ConfigFileName();
// Where a copy of the program keeps its files. A copy in a folder it may write is portable and keeps the
// configuration file and its data beside itself. An installed copy (its folder is not writable, or is a system
// folder such as /usr/bin, which root could write) keeps the configuration file in $XDG_CONFIG_HOME/patrol-lamp/
// and data files in $XDG_DATA_HOME/patrol-lamp/. folderWritable is the rule's input so tests can give it.
bool IsInstalledCopy(const QString& programFolder, bool folderWritable);
// Whether this process may create files in the folder.
bool IsWritableFolder(const QString& folder);
// The folder of the running executable.
QString ProgramFolder();
// $XDG_CONFIG_HOME/patrol-lamp and $XDG_DATA_HOME/patrol-lamp; an unset, empty or relative variable means
// ~/.config or ~/.local/share, as the base directory rules say.
QString XdgConfigFolder();
QString XdgDataFolder();
// The configuration file used when none is given.
QString DefaultConfigPath(const QString& programFolder);
QString DefaultConfigPath(const QString& programFolder, bool folderWritable);
// Where data files such as the history go when no file is given for them.
QString DataFolder(const QString& programFolder);
QString DataFolder(const QString& programFolder, bool folderWritable);
// The file given by "--config FILE" (or "--config=FILE") among the program's arguments (the first is the
// program itself), else DefaultConfigPath.
QString ConfigFilePath(const QStringList& arguments, const QString& programFolder);
// The file given by "--config FILE" or "--config=FILE", absolute; empty when none is given.
QString GivenConfigPath(const QStringList& arguments);

} // namespace Persist
