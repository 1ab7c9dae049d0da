#pragma once

#include <QString>

// Where the headless command keeps its history: --history, else the service's state directory
// ($STATE_DIRECTORY, set by systemd's StateDirectory= and by the container image), else beside the
// configuration file. The folder is created; on failure the message says why the history can't be kept.
QString HeadlessHistoryPath(const QString& historyOption, const QString& configPath);
bool PrepareHistoryFolder(const QString& historyPath, QString* error);
