#pragma once

#include "http/transfer_failure.h"

#include <QString>

// "连接被拒绝"; with a detail "证书不受信任（…）"; empty for None.
QString FailureReasonText(FailureReason reason, const QString& detail = {});
// A stable ASCII name for labels and scripts: "connection_refused"; empty for None.
QString FailureReasonKey(FailureReason reason);

// What a finished check leaves behind: only numbers and the two query switches. The report lists and the
// headless output make the column texts from it when they are shown, so a row keeps no text of its own.
struct CheckResult
{
    int status = 0; // 0 when not asked or no response
    int found = 0; // keyword position, -1 not found, 0 not searched
    qint64 elapsedMs = 0;
    bool byStatus = false;
    bool byContent = false;
    bool pageIncomplete = false; // the fetch was cut (size cap, time-out): a missing keyword proves nothing
    FailureReason reason = FailureReason::None; // why the verdict is abnormal; None when normal

    QString StatusText() const; // column 1: "200|访问正常(OK)", "无查询"
    QString FoundText() const; // column 2: the position, "找不到", "无查询"
    QString ResponseTime() const; // column 3
};

// One finished check, as the site check makes it on its worker thread, the run applies it to the lists on the
// main thread and then hands it, unchanged but for the finishing time, to everyone who listens.
struct CheckRecord : CheckResult
{
    int pass = 0;
    int row = -1;
    QString url;
    bool normal = true;
    int attempts = 0; // status requests made
    qint64 certExpires = 0; // the https server certificate's expiry in Unix seconds, 0 unknown
    bool pageFetched = false;
    qint64 finishTick = 0; // the row's item data
    bool cancelled = false; // cut short by program shutdown
    qint64 finishedAtMs = 0; // Unix milliseconds, set when the run applies it
    QString reasonDetail; // the TLS library's words for a TLS reason

    QString ReasonText() const { return FailureReasonText(reason, reasonDetail); }
};

QString StatusColumnText(bool byStatus, int status);
// A keyword missing from a page that was not read whole reads kPageIncompleteText instead of "找不到".
QString FoundColumnText(bool byContent, int found, bool pageIncomplete = false);
inline constexpr char16_t kPageIncompleteText[] = u"网页未读完整";
