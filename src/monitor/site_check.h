#pragma once

#include "monitor/check_result.h"
#include "monitor/monitor_settings.h"

#include <QString>

class Clock;
class ShutdownSignal;

constexpr int kStatusAttempts = 4;

// True when the decimal status equals one of the "|" separated codes exactly (no trimming).
bool StatusMatches(int status, const QString& codes);
// The content condition's search: any keyword, case-insensitive substring; 1-based GB18030 byte position or -1.
int FindKeyword(const QString& page, const QString& keywords);

// The whole check of one URL: status attempts with their waits, the optional page fetch, the verdict
// and the column texts. A cut page without the keyword is abnormal whatever the inversion says. Blocks; runs on the
// check's own worker thread with its own HttpClient.
CheckRecord RunSiteCheck(
    const QString& url, const MonitorSettings& settings, Clock& clock, const ShutdownSignal& shutdown);
