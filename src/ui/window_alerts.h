#pragma once

#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class FormStateStore;
class HistoryStore;
class MainWindow;
class QAbstractItemModel;
class ReportView;
class StateChangeCollector;
class WebhookSender;
struct CheckRecord;
struct StateChange;

// What the window adds to a run without touching its layout: history, desktop notifications, the tray's
// abnormal picture and tooltip, a webhook, a details view per site and CSV export.
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

    // The store may be null: then nothing is kept and the defaults apply.
    WindowAlerts(MainWindow* window, FormStateStore* store);
    ~WindowAlerts() override;

    Settings CurrentSettings() const { return m_settings; }
    void ApplySettings(const Settings& settings); // also writes them to the store
    QString HistoryPath() const;

    void ShowDetails(const QString& url);
    // Asks for a file, then writes the list there.
    void ExportList(ReportView* view);
    // UTF-8 with a byte-order mark: the list's columns plus 正常/不正常. False when the file can't be written.
    static bool WriteCsv(const QAbstractItemModel* model, const QString& path);

    // Tests see the notifications here instead of the desktop.
    static void SetNotificationSink(std::function<void(const QString& title, const QString& text)> sink);
    static constexpr int kCollectMs = 3000;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnCheckFinished(const CheckRecord& record);
    void OnBatch(const QVector<StateChange>& batch);
    void Notify(const QString& title, const QString& text);
    void UpdateTray();
    void ShowHeaderMenu(ReportView* view, const QPoint& globalPos);
    void EditSettings();
    void StartHistory();

    MainWindow* m_window;
    FormStateStore* m_store;
    Settings m_settings;
    HistoryStore* m_history = nullptr;
    StateChangeCollector* m_changes;
    WebhookSender* m_webhook = nullptr;
    int m_shownAbnormal = -1;
};
