#include "ui/window_alerts.h"

#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "monitor/run_recorder.h"
#include "monitor/webhook_sender.h"
#include "store/form_state_store.h"
#include "store/history_store.h"
#include "store/persistence.h"
#include "ui/csv_export.h"
#include "ui/message_box.h"
#include "ui/notify_settings_dialog.h"
#include "ui/report_view.h"
#include "ui/site_details_dialog.h"
#include "ui/tray_icon.h"
#include "ui/ui_pictures.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QDebug>
#include <QDialog>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QShortcut>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

std::function<void(const QString&, const QString&)>& NotificationSink()
{
    static std::function<void(const QString&, const QString&)> sink;
    return sink;
}

} // namespace

WindowAlerts::WindowAlerts(const Parts& parts)
    : QObject(parts.window)
    , m_parts(parts)
    , m_recorder(new RunRecorder(parts.run, kCollectMs, this))
{
    if (HasStoreFile()) {
        QStringList problems;
        m_settings = ReadAlertSettings(*m_parts.store, &problems);
        for (const QString& problem : std::as_const(problems))
            qWarning().noquote() << problem;
    } else {
        m_settings.history = false;
    }
    connect(m_recorder, &RunRecorder::HistoryFailed, this,
        [this](const QString& message) { MessageBox::Notify(m_parts.window, message, u"历史记录"_s); });
    connect(m_recorder, &RunRecorder::DeliveryFailed, this,
        [this](const QString& message) { MessageBox::Notify(m_parts.window, message, u"通知网址"_s); });
    connect(m_recorder, &RunRecorder::Changes, this, &WindowAlerts::OnBatch);
    m_recorder->SetHistoryPath(WantedHistoryPath());
    m_recorder->SetNotifyTargets(m_settings.targets);
    m_recorder->SetAlertRules(m_settings.confirmPasses, m_settings.remindMinutes);

    connect(m_parts.run, &MonitoringRun::CheckFinished, this, &WindowAlerts::KeepRecent);

    for (ReportModel* model : { m_parts.run->SiteModel(), m_parts.run->AbnormalModel() }) {
        connect(model, &QAbstractItemModel::rowsInserted, this, &WindowAlerts::UpdateTray);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &WindowAlerts::UpdateTray);
        connect(model, &QAbstractItemModel::modelReset, this, &WindowAlerts::UpdateTray);
    }

    for (ReportView* view : { m_parts.siteView, m_parts.abnormalView }) {
        view->viewport()->installEventFilter(this);
        view->header()->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view->header(), &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& pos) { ShowMenu(view, view->header()->mapToGlobal(pos)); });
        connect(view, &ReportView::MenuRequested, this, [this, view](const QPoint& pos) { ShowMenu(view, pos); });
        for (const QKeySequence& key : { QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter) }) {
            auto* details = new QShortcut(key, view, nullptr, nullptr, Qt::WidgetShortcut);
            connect(details, &QShortcut::activated, this, [this, view] {
                if (!view->CurrentUrl().isEmpty())
                    ShowDetails(view->CurrentUrl());
            });
        }
        auto* exportKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_E), view, nullptr, nullptr, Qt::WidgetShortcut);
        connect(exportKey, &QShortcut::activated, this, [this, view] { ExportCsv(m_parts.window, view->model()); });
    }
}

// The window is gone by now: the last changes get the webhook's drain time, and what is lost is said on stderr.
WindowAlerts::~WindowAlerts()
{
    disconnect(m_recorder, nullptr, this, nullptr);
    if (const int lost = m_recorder->FinishDelivery(WebhookSender::kDrainMs))
        qWarning().noquote() << WebhookSender::LeftAtEndText(lost, WebhookSender::kDrainMs);
}

// Without a configuration file nothing is kept: neither these settings nor the history beside it.
bool WindowAlerts::HasStoreFile() const
{
    return m_parts.store && !m_parts.store->Path().isEmpty();
}

QString WindowAlerts::WantedHistoryPath() const
{
    return m_settings.history && HasStoreFile() ? HistoryStore::PathBesideConfig(m_parts.store->Path()) : QString();
}

QString WindowAlerts::HistoryPath() const
{
    return m_recorder->HistoryPath();
}

void WindowAlerts::ApplySettings(const Settings& settings)
{
    // Replacing the senders gives up what they queued: only when the targets changed.
    const bool targetsChanged = settings.targets != m_settings.targets;
    m_settings = settings;
    if (HasStoreFile() && !WriteAlertSettings(*m_parts.store, settings)) {
        MessageBox::Notify(m_parts.window,
            u"配置文件含通知密钥，但无法将其权限收紧为仅本人可读写：%1"_s.arg(m_parts.store->Path()), u"提醒设置"_s);
    }
    m_recorder->SetHistoryPath(WantedHistoryPath());
    if (targetsChanged)
        m_recorder->SetNotifyTargets(settings.targets);
    m_recorder->SetAlertRules(settings.confirmPasses, settings.remindMinutes);
}

void WindowAlerts::OnBatch(const QVector<StateChange>& batch)
{
    if (m_settings.desktopNotifications)
        Notify(Persist::ProgramTitle(), AlertText(batch, QDateTime::currentSecsSinceEpoch()));
}

void WindowAlerts::SetNotificationSink(std::function<void(const QString&, const QString&)> sink)
{
    NotificationSink() = std::move(sink);
}

// The freedesktop service when one runs, else the tray's balloon; the call is asynchronous either way.
void WindowAlerts::Notify(const QString& title, const QString& text)
{
    if (NotificationSink()) {
        NotificationSink()(title, text);
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        m_parts.tray->ShowMessage(title, text);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.Notifications"_s,
        u"/org/freedesktop/Notifications"_s, u"org.freedesktop.Notifications"_s, u"Notify"_s);
    call << u"patrol-lamp"_s << uint(0) << QString() << title << text << QStringList() << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, title, text] {
        if (watcher->isError())
            m_parts.tray->ShowMessage(title, text);
        watcher->deleteLater();
    });
}

void WindowAlerts::UpdateTray()
{
    const int abnormal = m_parts.run->AbnormalModel()->rowCount();
    if (abnormal == m_shownAbnormal)
        return;
    m_shownAbnormal = abnormal;
    const QString title = m_trayTitle.isEmpty() ? m_parts.window->windowTitle() : m_trayTitle;
    if (abnormal > 0) {
        m_parts.tray->SetAppearance(
            QIcon(UiPicture(u"state_abnormal"_s)), u"%1 - 不正常网站 %2 个"_s.arg(title).arg(abnormal));
    } else {
        m_parts.tray->SetAppearance(m_parts.window->windowIcon(), title);
    }
}

void WindowAlerts::SetTrayTitle(const QString& title)
{
    m_trayTitle = title;
    RefreshTray();
}

void WindowAlerts::RefreshTray()
{
    m_shownAbnormal = -1;
    UpdateTray();
}

// The last hour of each site's checks, for the details chart while the history has only hourly sums.
void WindowAlerts::KeepRecent(const CheckRecord& record)
{
    if (record.cancelled)
        return;
    QVector<SiteDetailsDialog::Sample>& samples = m_recent[record.url];
    const qint64 at = record.finishedAtMs > 0 ? record.finishedAtMs : QDateTime::currentMSecsSinceEpoch();
    qsizetype old = 0;
    while (old < samples.size() && (samples.at(old).atMs < at - kRecentMs || samples.size() - old >= kRecentMax))
        ++old;
    samples.remove(0, old);
    samples.append({ at, qint32(qMin<qint64>(record.elapsedMs, std::numeric_limits<qint32>::max())), record.normal });
}

void WindowAlerts::ShowDetails(const QString& url)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString path = m_recorder->HistoryPath();
    SiteDetailsDialog::Data data;
    if (!path.isEmpty()) {
        data.history = HistoryStore::ReadSite(path, url, now);
        data.firstDataMs = HistoryStore::FirstDataMs(path, url, now);
    }
    data.recent = m_recent.value(url);
    const ReportModel* abnormal = m_parts.run->AbnormalModel();
    const QString reason = FailureReasonText(abnormal->Reason(abnormal->FindLastRow(url)));
    auto* dialog = new SiteDetailsDialog(url, data, now, m_parts.window, reason);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void WindowAlerts::ShowMenu(ReportView* view, const QPoint& globalPos)
{
    auto* menu = new QMenu(m_parts.window);
    menu->setObjectName(u"列表菜单"_s);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* details
        = menu->addAction(u"网站详情（中键或回车）"_s, this, [this, view] { ShowDetails(view->CurrentUrl()); });
    details->setEnabled(!view->CurrentUrl().isEmpty());
    menu->addAction(u"导出全部网站为 CSV…"_s, this, [this] { ExportCsv(m_parts.window, m_parts.siteView->model()); });
    menu->addAction(
        u"导出不正常网站为 CSV…"_s, this, [this] { ExportCsv(m_parts.window, m_parts.abnormalView->model()); });
    menu->addSeparator();
    menu->addAction(u"提醒与历史设置…"_s, this, &WindowAlerts::EditSettings);
    menu->popup(globalPos);
}

void WindowAlerts::EditSettings()
{
    if (m_settingsDialog) {
        m_settingsDialog->raise();
        m_settingsDialog->activateWindow();
        return;
    }
    auto* dialog = new NotifySettingsDialog(m_settings, HasStoreFile(), m_parts.window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] { ApplySettings(dialog->Result()); });
    m_settingsDialog = dialog;
    dialog->open();
}

bool WindowAlerts::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::MiddleButton) {
            for (ReportView* view : { m_parts.siteView, m_parts.abnormalView }) {
                if (watched != view->viewport())
                    continue;
                const QModelIndex index = view->indexAt(mouse->position().toPoint());
                if (index.isValid()) {
                    view->SelectRow(index.row());
                    ShowDetails(view->CurrentUrl());
                }
                return true;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}
