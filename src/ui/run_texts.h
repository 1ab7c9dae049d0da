#pragma once

#include "monitor/monitoring_run.h"

#include <QString>

// The words the window shows for the run's states and counts.
QString StartButtonCaption(MonitoringRun::RunState state);
QString SiteListHeader(int sites);
// -1: the header a run starts with, before any count is shown.
QString AbnormalListHeader(int abnormal);
QString CheckCaption(const QString& baseTitle, int running, int row);
