#pragma once

#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class FormStateStore;
class MonitoringRun;
class ReportView;
class RunRecorder;
class TrayIcon;
class QWidget;
struct StateChange;

// What the window adds to a run without touching its layout: desktop notifications, the tray's abnormal picture
// and tooltip, a details view per site, CSV export, and the settings of the run's recorder (history, webhook).
//
// Nothing changes what the lists' clicks do. A middle click or Enter on a row opens its details; a right click
// on a list's header offers details, export and the settings; Ctrl+E exports the list that has the focus.
// Settings live in the ini section Persist::kAlertsSection.
class WindowAlerts final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WindowAlerts)

public:
    struct Settings
    {
        bool history = true;
        bool desktopNotifications = true;
        QString notifyUrl;
    };

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

    // Tests see the notifications here instead of the desktop.
    static void SetNotificationSink(std::function<void(const QString& title, const QString& text)> sink);
    static constexpr int kCollectMs = 3000;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnBatch(const QVector<StateChange>& batch);
    void Notify(const QString& title, const QString& text);
    void UpdateTray();
    void ShowHeaderMenu(ReportView* view, const QPoint& globalPos);
    void EditSettings();
    bool HasStoreFile() const;
    QString WantedHistoryPath() const;

    Parts m_parts;
    Settings m_settings;
    RunRecorder* m_recorder;
    int m_shownAbnormal = -1;
};
