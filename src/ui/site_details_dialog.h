#pragma once

#include "store/history_store.h"

#include <QDialog>
#include <QVector>

#include <utility>

// What the history knows of one site: its state and since when, uptime over 24 h / 7 d / 30 d (with the span
// they cover when the history is younger), a chart of its response times, its last state changes and its
// certificate's expiry.
//
// The chart shows the checks of this session minute by minute while there is less than an hour of data, else
// the history's hourly means over 24 hours. Gaps stay gaps; failed checks are marked apart, not drawn as times.
class SiteDetailsDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SiteDetailsDialog)

public:
    struct Sample
    {
        qint64 atMs = 0;
        qint32 elapsedMs = 0;
        bool normal = true;
    };
    struct Data
    {
        SiteHistory history;
        qint64 firstDataMs = 0; // the history's oldest hour or day of the site; 0 none
        QVector<Sample> recent; // this session's checks of the site, oldest first
    };

    // `reason`: why its last check found it abnormal, empty when it did not.
    SiteDetailsDialog(
        const QString& url, const Data& data, qint64 nowMs, QWidget* parent = nullptr, const QString& reason = {});

    // "99.50 %", or "无记录" for a window without checks.
    static QString UptimeText(double share);
    // Ticks at round values covering 0..top: the axis maximum and the tick count.
    static std::pair<double, int> RoundAxis(double top);
};
