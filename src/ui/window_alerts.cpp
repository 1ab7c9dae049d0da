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
#include "ui/report_view.h"
#include "ui/screen_fit.h"
#include "ui/site_details_dialog.h"
#include "ui/tray_icon.h"
#include "ui/ui_pictures.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QDebug>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QShortcut>
#include <QUrl>

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
    FormStateStore* store = m_parts.store;
    if (HasStoreFile()) {
        const QString section = store->Section();
        store->SetSection(Persist::kAlertsSection);
        m_settings.history = store->ReadBool(Persist::kHistoryEnabledKey, true);
        m_settings.desktopNotifications = store->ReadBool(Persist::kNotifyDesktopKey, true);
        m_settings.notifyUrl = store->ReadText(Persist::kNotifyUrlKey);
        store->SetSection(section);
    } else {
        m_settings.history = false;
    }
    connect(m_recorder, &RunRecorder::HistoryFailed, this,
        [this](const QString& message) { MessageBox::Notify(m_parts.window, message, u"历史记录"_s); });
    connect(m_recorder, &RunRecorder::DeliveryFailed, this,
        [this](const QString& message) { MessageBox::Notify(m_parts.window, message, u"通知网址"_s); });
    connect(m_recorder, &RunRecorder::Changes, this, &WindowAlerts::OnBatch);
    m_recorder->SetHistoryPath(WantedHistoryPath());
    m_recorder->SetNotifyUrl(m_settings.notifyUrl);

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
    const bool urlChanged = settings.notifyUrl != m_settings.notifyUrl;
    m_settings = settings;
    if (HasStoreFile()) {
        FormStateStore* store = m_parts.store;
        const QString section = store->Section();
        store->SetSection(Persist::kAlertsSection);
        store->WriteBool(Persist::kHistoryEnabledKey, settings.history);
        store->WriteBool(Persist::kNotifyDesktopKey, settings.desktopNotifications);
        store->WriteText(Persist::kNotifyUrlKey, settings.notifyUrl);
        store->SetSection(section);
    }
    m_recorder->SetHistoryPath(WantedHistoryPath());
    if (urlChanged)
        m_recorder->SetNotifyUrl(settings.notifyUrl);
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

QString WindowAlerts::NotifyUrlProblem(const QString& text)
{
    if (text.isEmpty())
        return {};
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (scheme != u"http"_s && scheme != u"https"_s)
        return u"通知网址需要以 http:// 或 https:// 开头。"_s;
    if (!url.isValid() || url.host().isEmpty())
        return u"通知网址里没有可用的主机名。"_s;
    return {};
}

void WindowAlerts::EditSettings()
{
    QDialog dialog(m_parts.window);
    dialog.setObjectName(u"提醒与历史设置"_s);
    dialog.setWindowTitle(u"提醒与历史设置"_s);
    auto* form = new QFormLayout(&dialog);
    auto* history = new QCheckBox(u"记录网站历史（配置文件旁的 .history.sqlite）"_s, &dialog);
    history->setChecked(m_settings.history);
    history->setEnabled(HasStoreFile());
    auto* desktop = new QCheckBox(u"网站状态变化时显示桌面通知"_s, &dialog);
    desktop->setChecked(m_settings.desktopNotifications);
    auto* url = new QLineEdit(m_settings.notifyUrl, &dialog);
    url->setObjectName(u"通知网址"_s);
    url->setPlaceholderText(u"http(s)://…（空：不发送）"_s);
    auto* problem = new QLabel(&dialog);
    problem->setObjectName(u"通知网址问题"_s);
    problem->setStyleSheet(u"color: #b00000"_s);
    problem->hide();
    form->addRow(history);
    form->addRow(desktop);
    form->addRow(u"通知网址（POST JSON）："_s, url);
    form->addRow(problem);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    // A wrong address keeps the dialog and what was typed, and says what is wrong.
    connect(buttons, &QDialogButtonBox::accepted, &dialog, [&dialog, url, problem] {
        const QString text = NotifyUrlProblem(url->text().trimmed());
        problem->setText(text);
        problem->setVisible(!text.isEmpty());
        if (text.isEmpty())
            dialog.accept();
        else
            url->setFocus();
    });
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    FitIntoScreen(&dialog);
    if (dialog.exec() != QDialog::Accepted)
        return;
    ApplySettings({ history->isChecked(), desktop->isChecked(), url->text().trimmed() });
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
