#pragma once

#include <QString>
#include <QStringList>

// Start-up and shutdown of the desktop program; returns the process exit status.
int RunDesktop(int argc, char** argv);

// "岚澈·巡更灯": the window caption without the version, and the configuration file's base name.
QString ProgramTitle();
// The file given by "--config FILE" (or "--config=FILE"), else "岚澈·巡更灯.ini" in the program's folder.
QString ConfigFilePath(const QStringList& arguments, const QString& programFolder);
