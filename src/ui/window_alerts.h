#pragma once

#include "monitor/alert_settings.h"
#include "ui/site_details_dialog.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

#include <functional>

class FormStateStore;
class MonitoringRun;
class NotifySettingsDialog;
class ReportView;
class RunRecorder;
class TrayIcon;
class QWidget;
struct CheckRecord;
struct StateChange;

// What the window adds to a run without touching its layout: desktop notifications, the tray's abnormal picture
// and tooltip, a details view per site, CSV export, and the settings of the run's recorder (history, notification
// targets, noise rules).
//
// Nothing changes what the lists' clicks do. A middle click or Enter on a row opens its details; a right click
// on a list's header or below its rows, the menu key and the window's 导出/设置 button offer details, export
// and the settings; the window's 提醒设置 button opens the settings; Ctrl+E exports the list that has the focus.
// Settings live in the ini section Persist::kAlertsSection.
class WindowAlerts final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WindowAlerts)

public:
    using Settings = AlertSettings;

    struct Parts
    {
        QWidget* window = nullptr; // the dialogs' parent; its title and icon dress the tray
        MonitoringRun* run = nullptr;
        ReportView* siteView = nullptr;
        ReportView* abnormalView = nullptr;
        TrayIcon* tray = nullptr;
        FormStateStore* store = nullptr; // null: nothing is kept and the defaults apply
    };

    explicit WindowAlerts(const Parts& parts);
    ~WindowAlerts() override;

    Settings CurrentSettings() const { return m_settings; }
    void ApplySettings(const Settings& settings); // also writes them to the store
    QString HistoryPath() const;

    void ShowDetails(const QString& url);
    // Details of the view's current row, export of either list, the settings.
    void ShowMenu(ReportView* view, const QPoint& globalPos);
    // Opens the settings dialog, or raises the one already open; OK applies what it holds.
    void EditSettings();
    // The tray's tooltip is built on this title, never on the caption with its live counts.
    void SetTrayTitle(const QString& title);
    void RefreshTray();

    // Tests see the notifications here instead of the desktop.
    static void SetNotificationSink(std::function<void(const QString& title, const QString& text)> sink);
    static constexpr int kCollectMs = 3000;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnBatch(const QVector<StateChange>& batch);
    void Notify(const QString& title, const QString& text);
    void UpdateTray();
    void KeepRecent(const CheckRecord& record);
    bool HasStoreFile() const;
    QString WantedHistoryPath() const;

    Parts m_parts;
    Settings m_settings;
    RunRecorder* m_recorder;
    int m_shownAbnormal = -1;
    QString m_trayTitle;
    QPointer<NotifySettingsDialog> m_settingsDialog;
    // Per site at most an hour and kRecentMax checks, 16 bytes each: about 30 MB for 50,000 sites every 100 s.
    static constexpr qint64 kRecentMs = 3600 * 1000;
    static constexpr qsizetype kRecentMax = 120;
    QHash<QString, QVector<SiteDetailsDialog::Sample>> m_recent;
};
