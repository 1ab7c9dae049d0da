#pragma once

#include "cli/headless_options.h"
#include "monitor/alert_settings.h"
#include "monitor/monitor_settings.h"

#include <QString>

// What the window left in the configuration file: its conditions, run settings and site list.
struct StoredSettings
{
    MonitorSettings settings;
    QString siteList; // CR LF separated
    AlertSettings alerts;
    QStringList alertProblems; // targets left out, the file's permissions narrowed: for stderr
};

// The configuration file beside the executable, the file the window uses.
QString DefaultConfigPath();

// Reads the window's keys without taking the file's lock (a window may be running on it). A missing
// file gives the window's defaults unless mustExist; an unreadable one is an error.
bool LoadStoredSettings(const QString& path, bool mustExist, StoredSettings* stored, QString* error);

// The command line's targets and noise rules, else the configuration file's: a target on the command line
// replaces every stored one.
QList<NotifyTarget> NotifyTargets(const HeadlessOptions& options, const AlertSettings& stored);
int ConfirmPasses(const HeadlessOptions& options, const AlertSettings& stored);
int RemindMinutes(const HeadlessOptions& options, const AlertSettings& stored);

// The stored settings with the command line's overrides; false with a message when a setting that
// would stall the run (a thread count or time-out that is not a positive number) remains.
bool ApplyOptions(
    const MonitorSettings& stored, const HeadlessOptions& options, MonitorSettings* settings, QString* error);
