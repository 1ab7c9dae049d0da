#include "ui/window_alerts.h"

#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "monitor/state_changes.h"
#include "monitor/webhook_sender.h"
#include "store/form_state_store.h"
#include "store/history_store.h"
#include "store/persistence.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/report_view.h"
#include "ui/site_details_dialog.h"
#include "ui/ui_pictures.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QSaveFile>
#include <QShortcut>

using namespace Qt::StringLiterals;

namespace {

std::function<void(const QString&, const QString&)>& NotificationSink()
{
    static std::function<void(const QString&, const QString&)> sink;
    return sink;
}

QString CsvField(const QString& text)
{
    static const QRegularExpression needsQuotes(u"[\",\r\n]|^\\s|\\s$"_s);
    if (!needsQuotes.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(u'"', u"\"\""_s);
    return u'"' + quoted + u'"';
}

} // namespace

WindowAlerts::WindowAlerts(MainWindow* window, FormStateStore* store)
    : QObject(window)
    , m_window(window)
    , m_store(store)
    , m_changes(new StateChangeCollector(kCollectMs, this))
{
    if (m_store && !m_store->Path().isEmpty()) {
        const QString section = m_store->Section();
        m_store->SetSection(Persist::kAlertsSection);
        m_settings.history = m_store->ReadBool(Persist::kHistoryEnabledKey, true);
        m_settings.desktopNotifications = m_store->ReadBool(Persist::kNotifyDesktopKey, true);
        m_settings.notifyUrl = m_store->ReadText(Persist::kNotifyUrlKey);
        m_store->SetSection(section);
    } else {
        m_settings.history = false;
    }
    StartHistory();
    if (!m_settings.notifyUrl.isEmpty())
        m_webhook = new WebhookSender(m_settings.notifyUrl, this);

    MonitoringRun* run = window->Run();
    connect(run, &MonitoringRun::CheckFinished, this, &WindowAlerts::OnCheckFinished);
    connect(run, &MonitoringRun::RunFinished, m_changes, &StateChangeCollector::FlushNow);
    connect(m_changes, &StateChangeCollector::Batch, this, &WindowAlerts::OnBatch);
    for (ReportModel* model : { run->SiteModel(), run->AbnormalModel() }) {
        connect(model, &QAbstractItemModel::rowsInserted, this, &WindowAlerts::UpdateTray);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &WindowAlerts::UpdateTray);
        connect(model, &QAbstractItemModel::modelReset, this, &WindowAlerts::UpdateTray);
    }

    for (ReportView* view : { window->SiteView(), window->AbnormalView() }) {
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
        connect(exportKey, &QShortcut::activated, this, [this, view] { ExportList(view); });
    }
}

WindowAlerts::~WindowAlerts() = default;

void WindowAlerts::StartHistory()
{
    delete m_history;
    m_history = nullptr;
    if (!m_settings.history || !m_store || m_store->Path().isEmpty())
        return;
    m_history = new HistoryStore(HistoryStore::PathBesideConfig(m_store->Path()), this);
    connect(m_history, &HistoryStore::Failed, this,
        [this](const QString& message) { MessageBox::Notify(m_window, message, u"历史记录"_s); });
    m_history->Start();
}

QString WindowAlerts::HistoryPath() const
{
    return m_history ? m_history->Path() : QString();
}

void WindowAlerts::ApplySettings(const Settings& settings)
{
    const bool historyChanged = settings.history != m_settings.history;
    const bool urlChanged = settings.notifyUrl != m_settings.notifyUrl;
    m_settings = settings;
    if (m_store && !m_store->Path().isEmpty()) {
        const QString section = m_store->Section();
        m_store->SetSection(Persist::kAlertsSection);
        m_store->WriteBool(Persist::kHistoryEnabledKey, settings.history);
        m_store->WriteBool(Persist::kNotifyDesktopKey, settings.desktopNotifications);
        m_store->WriteText(Persist::kNotifyUrlKey, settings.notifyUrl);
        m_store->SetSection(section);
    }
    if (historyChanged)
        StartHistory();
    if (urlChanged) {
        if (m_webhook)
            m_webhook->SetDrainOnExitMs(0);
        delete m_webhook;
        m_webhook = settings.notifyUrl.isEmpty() ? nullptr : new WebhookSender(settings.notifyUrl, this);
    }
}

void WindowAlerts::OnCheckFinished(const CheckRecord& record)
{
    if (m_history) {
        m_history->Record(HistorySample {
            record.url, record.finishedAtMs, record.normal, record.status, record.elapsedMs, record.certExpires });
    }
    m_changes->Feed(record);
}

void WindowAlerts::OnBatch(const QVector<StateChange>& batch)
{
    if (m_webhook)
        m_webhook->Post(AlertJson(batch));
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
        m_window->Tray()->ShowMessage(title, text);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.Notifications"_s,
        u"/org/freedesktop/Notifications"_s, u"org.freedesktop.Notifications"_s, u"Notify"_s);
    call << u"patrol-lamp"_s << uint(0) << QString() << title << text << QStringList() << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, title, text] {
        if (watcher->isError())
            m_window->Tray()->ShowMessage(title, text);
        watcher->deleteLater();
    });
}

void WindowAlerts::UpdateTray()
{
    const int abnormal = m_window->Run()->AbnormalModel()->rowCount();
    if (abnormal == m_shownAbnormal)
        return;
    m_shownAbnormal = abnormal;
    if (abnormal > 0) {
        m_window->Tray()->SetAppearance(QIcon(UiPicture(u"state_abnormal"_s)),
            u"%1 - 不正常网站 %2 个"_s.arg(m_window->windowTitle()).arg(abnormal));
    } else {
        m_window->Tray()->SetAppearance(m_window->windowIcon(), m_window->windowTitle());
    }
}

void WindowAlerts::ShowDetails(const QString& url)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const SiteHistory history = m_history ? HistoryStore::ReadSite(m_history->Path(), url, now) : SiteHistory();
    auto* dialog = new SiteDetailsDialog(url, history, now, m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

bool WindowAlerts::WriteCsv(const QAbstractItemModel* model, const QString& path)
{
    QString text;
    QStringList header;
    for (int column = 0; column < model->columnCount(); ++column)
        header << CsvField(model->headerData(column, Qt::Horizontal).toString());
    header << u"正常/不正常"_s;
    text += header.join(u',') + u"\r\n"_s;
    for (int row = 0; row < model->rowCount(); ++row) {
        QStringList fields;
        for (int column = 0; column < model->columnCount(); ++column)
            fields << CsvField(model->index(row, column).data().toString());
        const int state = model->index(row, 0).data(ReportModel::StateRole).toInt();
        fields << (state == ReportModel::StateNormal  ? u"正常"_s
                : state == ReportModel::StateAbnormal ? u"不正常"_s
                                                      : QString());
        text += fields.join(u',') + u"\r\n"_s;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("\xEF\xBB\xBF");
    file.write(text.toUtf8());
    return file.commit();
}

void WindowAlerts::ExportList(ReportView* view)
{
    const QString path = QFileDialog::getSaveFileName(m_window, u"导出为 CSV"_s, QString(), u"CSV 文件 (*.csv)"_s);
    if (path.isEmpty())
        return;
    if (!WriteCsv(view->model(), path))
        MessageBox::Notify(m_window, u"无法写入文件：%1"_s.arg(path), u"导出"_s);
}

void WindowAlerts::ShowHeaderMenu(ReportView* view, const QPoint& globalPos)
{
    auto* menu = new QMenu(m_window);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* details
        = menu->addAction(u"网站详情（中键或回车）"_s, this, [this, view] { ShowDetails(view->CurrentUrl()); });
    details->setEnabled(!view->CurrentUrl().isEmpty());
    menu->addAction(u"导出为 CSV…（Ctrl+E）"_s, this, [this, view] { ExportList(view); });
    menu->addSeparator();
    menu->addAction(u"提醒与历史设置…"_s, this, &WindowAlerts::EditSettings);
    menu->popup(globalPos);
}

void WindowAlerts::EditSettings()
{
    QDialog dialog(m_window);
    dialog.setObjectName(u"提醒与历史设置"_s);
    dialog.setWindowTitle(u"提醒与历史设置"_s);
    auto* form = new QFormLayout(&dialog);
    auto* history = new QCheckBox(u"记录网站历史（配置文件旁的 .history.sqlite）"_s, &dialog);
    history->setChecked(m_settings.history);
    history->setEnabled(m_store && !m_store->Path().isEmpty());
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
        MessageBox::Notify(m_window, u"通知网址需要以 http:// 或 https:// 开头。"_s, u"提醒与历史设置"_s);
        notifyUrl = m_settings.notifyUrl;
    }
    ApplySettings({ history->isChecked(), desktop->isChecked(), notifyUrl });
}

bool WindowAlerts::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::MiddleButton) {
            for (ReportView* view : { m_window->SiteView(), m_window->AbnormalView() }) {
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
