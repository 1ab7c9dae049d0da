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
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QShortcut>

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

    for (ReportModel* model : { m_parts.run->SiteModel(), m_parts.run->AbnormalModel() }) {
        connect(model, &QAbstractItemModel::rowsInserted, this, &WindowAlerts::UpdateTray);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &WindowAlerts::UpdateTray);
        connect(model, &QAbstractItemModel::modelReset, this, &WindowAlerts::UpdateTray);
    }

    for (ReportView* view : { m_parts.siteView, m_parts.abnormalView }) {
        view->viewport()->installEventFilter(this);
        view->header()->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view->header(), &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& pos) { ShowHeaderMenu(view, view->header()->mapToGlobal(pos)); });
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
    if (abnormal > 0) {
        m_parts.tray->SetAppearance(QIcon(UiPicture(u"state_abnormal"_s)),
            u"%1 - 不正常网站 %2 个"_s.arg(m_parts.window->windowTitle()).arg(abnormal));
    } else {
        m_parts.tray->SetAppearance(m_parts.window->windowIcon(), m_parts.window->windowTitle());
    }
}

void WindowAlerts::ShowDetails(const QString& url)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString path = m_recorder->HistoryPath();
    const SiteHistory history = path.isEmpty() ? SiteHistory() : HistoryStore::ReadSite(path, url, now);
    const ReportModel* abnormal = m_parts.run->AbnormalModel();
    const QString reason = FailureReasonText(abnormal->Reason(abnormal->FindLastRow(url)));
    auto* dialog = new SiteDetailsDialog(url, history, now, m_parts.window, reason);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void WindowAlerts::ShowHeaderMenu(ReportView* view, const QPoint& globalPos)
{
    auto* menu = new QMenu(m_parts.window);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* details
        = menu->addAction(u"网站详情（中键或回车）"_s, this, [this, view] { ShowDetails(view->CurrentUrl()); });
    details->setEnabled(!view->CurrentUrl().isEmpty());
    menu->addAction(u"导出为 CSV…（Ctrl+E）"_s, this, [this, view] { ExportCsv(m_parts.window, view->model()); });
    menu->addSeparator();
    menu->addAction(u"提醒与历史设置…"_s, this, &WindowAlerts::EditSettings);
    menu->popup(globalPos);
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
    url->setPlaceholderText(u"http(s)://…（空：不发送）"_s);
    form->addRow(history);
    form->addRow(desktop);
    form->addRow(u"通知网址（POST JSON）："_s, url);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return;
    QString notifyUrl = url->text().trimmed();
    const QString scheme = notifyUrl.section(u':', 0, 0).toLower();
    if (!notifyUrl.isEmpty() && scheme != u"http"_s && scheme != u"https"_s) {
        MessageBox::Notify(m_parts.window, u"通知网址需要以 http:// 或 https:// 开头。"_s, u"提醒与历史设置"_s);
        notifyUrl = m_settings.notifyUrl;
    }
    ApplySettings({ history->isChecked(), desktop->isChecked(), notifyUrl });
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
