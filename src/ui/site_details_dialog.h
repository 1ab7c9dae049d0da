#pragma once

#include "store/history_store.h"

#include <QDialog>

// What the history knows of one site: its state and since when, uptime over 24 h / 7 d / 30 d, a chart of
// its response times over the last 24 hours, its last state changes and its certificate's expiry.
class SiteDetailsDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SiteDetailsDialog)

public:
    // `reason`: why its last check found it abnormal, empty when it did not.
    SiteDetailsDialog(const QString& url, const SiteHistory& history, qint64 nowMs, QWidget* parent = nullptr,
        const QString& reason = {});

    // "99.50 %", or "无记录" for a window without checks.
    static QString UptimeText(double share);
};
