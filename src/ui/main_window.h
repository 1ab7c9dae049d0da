#pragma once

#include "ui/tray_icon.h"

#include <QPersistentModelIndex>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

class FormStateStore;
class MonitoringRun;
class PictureButton;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class ReportView;
class StateIconProxy;
class StatusCodePopup;
class WindowAlerts;

// The maker's addresses behind the header's pictures and links.
struct MakerAddresses
{
    static const QString& ProductPage();
    static const QString& ChatPage();
    static const QString& ContactText();
    static const QString& HomePage();
};

// The program's one window: conditions, run settings, the start/stop button, the two report lists and
// the header with links and the moving logo. Its component values persist through the form state store.
class MainWindow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    static constexpr int kDesignedWidth = 850; // client area of the 866 × 757 designed window
    static constexpr int kDesignedHeight = 718;
    // Narrower than the designed width, the run settings move under the conditions; at the minimum size
    // every control is still in the window.
    static constexpr int kMinimumWidth = 432;
    static constexpr int kMinimumHeight = 445;

    // The store may be null (no persistence). Creation restores the stored values.
    explicit MainWindow(FormStateStore* store, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The program title and version.
    static QString Caption();
    // Why a configuration file is not the live one: an unwritable folder or lock file, else another copy.
    static QString UnsavedConfigReason(const QString& configPath);

    MonitoringRun* Run() const { return m_run; }
    ReportView* SiteView() const { return m_siteView; }
    ReportView* AbnormalView() const { return m_abnormalView; }
    TrayIcon* Tray() const { return m_tray; }
    QString SiteListText() const;
    void SetSiteListText(const QString& text);

    // Stores every component value in the window's section.
    void SaveForm();

    // The notification-area actions: show or hide the window, or ask whether to exit.
    void TrayOperation(TrayIcon::Operation operation);
    // One line of the status popup ("code|description"): adds its code to the accepted codes once.
    void AddStatusCode(const QString& line);
    // Builds and shows the status popup under its button; returns it (it deletes itself when closed).
    StatusCodePopup* ShowStatusPopup();
    void CopyAllAbnormal();

    // One tick of the logo animation.
    void LogoStep();
    bool LogoRunning() const;

    // What the caption says about the run's progress: "第N轮 done/total", empty while idle.
    QString ProgressText() const;

signals:
    // The window is gone for good: the program should end.
    void Closed();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildHeader();
    void BuildConditions();
    void BuildOperations();
    void BuildLists();
    void WireRun();
    void ApplyEnableRules();
    void PushSettings();
    void InputSiteList();
    void ShowThreadLimit();
    void InputPageText();
    void BringToFront();
    void ConfirmExit();
    void FlushViewRequests();
    void Shutdown();
    void LayOut();
    void RestoreWindowState();
    void SaveWindowState();
    void NoteNormalPlace();
    void FitToFrameOnce();
    void NotePlaceLater();
    void UpdateLogoTimer();
    void AddTrayIcon();

    FormStateStore* m_store;
    MonitoringRun* m_run = nullptr;
    TrayIcon* m_tray = nullptr;
    WindowAlerts* m_alerts = nullptr;
    bool m_trayAdded = false;
    bool m_closed = false;
    QRect m_normalPlace; // frame corner and client size in the normal state, as saved
    bool m_framedFit = false;
    QTimer m_placeTimer;

    QWidget* m_header = nullptr;
    QLabel* m_separator = nullptr;
    PictureButton* m_helpPicture = nullptr;
    PictureButton* m_logo = nullptr;
    QTimer m_logoTimer;
    bool m_logoMovingLeft = false;
    bool m_logoStopped = false; // stopped for good by a right press

    QCheckBox* m_byStatus = nullptr;
    QLineEdit* m_statusCodes = nullptr;
    QPushButton* m_statusPopupButton = nullptr;
    QCheckBox* m_invertStatus = nullptr;
    QCheckBox* m_byContent = nullptr;
    QLineEdit* m_contentKeywords = nullptr;
    QPushButton* m_contentInputButton = nullptr;
    QCheckBox* m_invertContent = nullptr;
    QLineEdit* m_timeout = nullptr;
    QLineEdit* m_threads = nullptr;
    QLineEdit* m_interval = nullptr;
    QPushButton* m_siteListButton = nullptr;
    QPushButton* m_startButton = nullptr;
    QPushButton* m_copyAllButton = nullptr;
    QPushButton* m_menuButton = nullptr;
    QPushButton* m_alertsButton = nullptr;
    ReportView* m_siteView = nullptr;
    ReportView* m_abnormalView = nullptr;
    QPointer<StatusCodePopup> m_statusPopup;
    QTimer m_copiedTimer;

    // Checks report rows and captions far faster than a screen shows them: keep the latest, apply in batches.
    QTimer m_viewTimer;
    QString m_baseTitle; // the caption at creation; the check captions are built on it
    int m_pendingRunning = 0;
    int m_pendingRow = 0;
    bool m_captionPending = false;
    int m_pendingCurrentRow = -1;
    // A persistent index: rows added or removed before the flush must not shift the scroll to a neighbour.
    QPersistentModelIndex m_pendingAbnormal;
};
