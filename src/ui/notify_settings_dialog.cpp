#include "ui/notify_settings_dialog.h"

#include "http/cancel_wakeup.h"
#include "http/curl_global.h"
#include "http/url_text.h"
#include "ui/screen_fit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

QString NotifyKindLabel(const QString& name)
{
    static const QHash<QString, QString> labels {
        { u"webhook"_s, u"通用 JSON 网址"_s },
        { u"dingtalk"_s, u"钉钉群机器人"_s },
        { u"wecom"_s, u"企业微信群机器人"_s },
        { u"feishu"_s, u"飞书机器人"_s },
        { u"telegram"_s, u"Telegram"_s },
        { u"slack"_s, u"Slack"_s },
        { u"smtp"_s, u"邮件"_s },
    };
    return labels.value(name, name);
}

NotifySettingsDialog::NotifySettingsDialog(const AlertSettings& settings, bool historyAvailable, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(u"提醒与历史设置"_s);
    setWindowTitle(u"提醒与历史设置"_s);
    m_pool.setMaxThreadCount(4);
    auto* layout = new QVBoxLayout(this);

    m_history = new QCheckBox(u"记录网站历史（配置文件旁的 .history.sqlite）"_s, this);
    m_history->setChecked(settings.history && historyAvailable);
    m_history->setEnabled(historyAvailable);
    m_desktop = new QCheckBox(u"网站状态变化时显示桌面通知"_s, this);
    m_desktop->setChecked(settings.desktopNotifications);
    layout->addWidget(m_history);
    layout->addWidget(m_desktop);

    auto* targets = new QGroupBox(u"通知目标（群机器人、聊天服务、JSON 网址）"_s, this);
    auto* targetsLayout = new QVBoxLayout(targets);
    m_table = new QTableWidget(0, 5, targets);
    m_table->setObjectName(u"通知目标列表"_s);
    m_table->setHorizontalHeaderLabels({ u"种类"_s, u"网址"_s, u"签名密钥"_s, u"测试"_s, u"测试结果"_s });
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->setWordWrap(false);
    m_table->horizontalHeader()->setSectionResizeMode(UrlColumn, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(AnswerColumn, QHeaderView::Stretch);
    m_table->setMinimumHeight(120);
    targetsLayout->addWidget(m_table);

    auto* editor = new QFormLayout;
    m_kind = new QComboBox(targets);
    m_kind->setObjectName(u"通知种类"_s);
    m_kind->addItem(u"按网址自动判断"_s, QString());
    for (const QString& name : NotifyKindNames())
        m_kind->addItem(u"%1（%2）"_s.arg(NotifyKindLabel(name), name), name);
    m_url = new QLineEdit(targets);
    m_url->setObjectName(u"通知网址"_s);
    m_url->setPlaceholderText(u"https://oapi.dingtalk.com/robot/send?access_token=…"_s);
    m_secret = new QLineEdit(targets);
    m_secret->setObjectName(u"签名密钥"_s);
    m_secret->setEchoMode(QLineEdit::PasswordEchoOnEdit);
    m_secret->setPlaceholderText(u"钉钉、飞书的加签密钥；不加签时留空"_s);
    editor->addRow(u"种类："_s, m_kind);
    editor->addRow(u"网址："_s, m_url);
    editor->addRow(u"签名密钥："_s, m_secret);
    targetsLayout->addLayout(editor);

    auto* editButtons = new QHBoxLayout;
    auto* add = new QPushButton(u"添加"_s, targets);
    add->setObjectName(u"添加通知目标"_s);
    m_update = new QPushButton(u"保存修改"_s, targets);
    m_update->setObjectName(u"修改通知目标"_s);
    m_remove = new QPushButton(u"删除"_s, targets);
    m_remove->setObjectName(u"删除通知目标"_s);
    editButtons->addWidget(add);
    editButtons->addWidget(m_update);
    editButtons->addWidget(m_remove);
    editButtons->addStretch();
    targetsLayout->addLayout(editButtons);
    m_problem = new QLabel(targets);
    m_problem->setObjectName(u"通知网址问题"_s);
    m_problem->setStyleSheet(u"color: #b00000"_s);
    m_problem->setWordWrap(true);
    m_problem->hide();
    targetsLayout->addWidget(m_problem);
    m_answer = new QLabel(targets);
    m_answer->setObjectName(u"测试结果"_s);
    m_answer->setWordWrap(true);
    m_answer->setTextInteractionFlags(Qt::TextSelectableByMouse);
    targetsLayout->addWidget(m_answer);
    layout->addWidget(targets);

    auto* noise = new QGroupBox(u"减少打扰"_s, this);
    auto* noiseForm = new QFormLayout(noise);
    noiseForm->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    m_confirm = new QSpinBox(noise);
    m_confirm->setObjectName(u"连续几遍才提醒"_s);
    m_confirm->setRange(1, kMaxConfirmPasses);
    m_confirm->setSuffix(u" 遍"_s);
    m_confirm->setValue(settings.confirmPasses);
    m_remind = new QSpinBox(noise);
    m_remind->setObjectName(u"每隔分钟提醒"_s);
    m_remind->setRange(0, kMaxRemindMinutes);
    m_remind->setSuffix(u" 分钟"_s);
    m_remind->setSpecialValueText(u"不再提醒"_s);
    m_remind->setValue(settings.remindMinutes);
    noiseForm->addRow(u"连续不正常（或恢复正常）几遍才提醒："_s, m_confirm);
    noiseForm->addRow(u"一直不正常时每隔几分钟再提醒（0：不再提醒）："_s, m_remind);
    layout->addWidget(noise);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &NotifySettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    for (const NotifyTarget& target : settings.targets) {
        m_rows.append({ target, m_nextId++, false, {} });
        m_table->insertRow(m_table->rowCount());
        FillRow(int(m_rows.size()) - 1);
    }
    connect(add, &QPushButton::clicked, this, &NotifySettingsDialog::AddTarget);
    connect(m_update, &QPushButton::clicked, this, &NotifySettingsDialog::UpdateTarget);
    connect(m_remove, &QPushButton::clicked, this, &NotifySettingsDialog::RemoveTarget);
    connect(m_table, &QTableWidget::itemSelectionChanged, this, &NotifySettingsDialog::LoadSelected);
    LoadSelected();
    resize(760, 560);
    FitIntoScreen(this);
}

// A test under way ends at its next cancel check; its queued answer is dropped with this object.
NotifySettingsDialog::~NotifySettingsDialog()
{
    CancelWakeup::Raise(*m_cancel);
    m_pool.waitForDone();
}

AlertSettings NotifySettingsDialog::Result() const
{
    AlertSettings settings;
    settings.history = m_history->isChecked();
    settings.desktopNotifications = m_desktop->isChecked();
    for (const Row& row : m_rows)
        settings.targets.append(row.target);
    settings.confirmPasses = m_confirm->value();
    settings.remindMinutes = m_remind->value();
    return settings;
}

void NotifySettingsDialog::ShowProblem(const QString& text)
{
    m_problem->setText(text);
    m_problem->setVisible(!text.isEmpty());
}

bool NotifySettingsDialog::EditorTarget(NotifyTarget* target)
{
    const QString url = m_url->text().trimmed();
    if (url.isEmpty()) {
        ShowProblem(u"请先填写通知网址。"_s);
        m_url->setFocus();
        return false;
    }
    const QString name = m_kind->currentData().toString();
    QString why;
    if (!ParseNotifyTarget(name.isEmpty() ? url : name + u'=' + url, target, &why)) {
        ShowProblem(why + u"。"_s);
        m_url->setFocus();
        return false;
    }
    target->secret = m_secret->text().trimmed();
    ShowProblem({});
    return true;
}

void NotifySettingsDialog::AddTarget()
{
    NotifyTarget target;
    if (!EditorTarget(&target))
        return;
    for (const Row& row : std::as_const(m_rows)) {
        if (row.target == target) {
            ShowProblem(u"这个通知目标已在列表中。"_s);
            return;
        }
    }
    m_rows.append({ target, m_nextId++, false, {} });
    m_table->insertRow(m_table->rowCount());
    FillRow(int(m_rows.size()) - 1);
    m_table->selectRow(m_table->rowCount() - 1);
}

void NotifySettingsDialog::UpdateTarget()
{
    const int row = m_table->currentRow();
    NotifyTarget target;
    if (row < 0 || row >= m_rows.size() || !EditorTarget(&target))
        return;
    if (m_rows.at(row).target == target)
        return;
    m_rows[row] = { target, m_nextId++, false, {} };
    FillRow(row);
}

void NotifySettingsDialog::RemoveTarget()
{
    const int row = m_table->currentRow();
    if (row < 0 || row >= m_rows.size())
        return;
    m_rows.removeAt(row);
    m_table->removeRow(row);
    LoadSelected();
}

void NotifySettingsDialog::LoadSelected()
{
    const QList<QTableWidgetItem*> selected = m_table->selectedItems();
    const int row = selected.isEmpty() ? -1 : selected.first()->row();
    m_update->setEnabled(row >= 0);
    m_remove->setEnabled(row >= 0);
    if (row < 0 || row >= m_rows.size()) {
        m_url->clear();
        m_secret->clear();
        m_kind->setCurrentIndex(0);
        return;
    }
    const NotifyTarget& target = m_rows.at(row).target;
    m_url->setText(target.url);
    m_secret->setText(target.secret);
    // "Automatic" unless the kind was picked against the host, as for a self-hosted gateway.
    NotifyTarget guessed;
    QString why;
    const bool automatic = ParseNotifyTarget(target.url, &guessed, &why) && guessed.kind == target.kind;
    m_kind->setCurrentIndex(automatic ? 0 : qMax(0, m_kind->findData(NotifyKindName(target.kind))));
    ShowProblem({});
    if (!m_rows.at(row).answer.isEmpty())
        ShowAnswerText(row); // the whole of what the narrow cell cuts
}

void NotifySettingsDialog::FillRow(int row)
{
    const Row& data = m_rows.at(row);
    auto set = [&](int column, const QString& text) {
        auto* item = m_table->item(row, column);
        if (!item) {
            item = new QTableWidgetItem;
            m_table->setItem(row, column, item);
        }
        item->setText(text);
        item->setToolTip(text);
    };
    set(KindColumn, NotifyKindLabel(NotifyKindName(data.target.kind)));
    set(UrlColumn, RedactedNotifyUrl(data.target.url));
    set(SecretColumn, data.target.secret.isEmpty() ? u"无"_s : u"已设置"_s);
    set(AnswerColumn, data.testing ? u"正在发送…"_s : data.answer);
    auto* test = qobject_cast<QPushButton*>(m_table->cellWidget(row, TestColumn));
    if (!test) {
        test = new QPushButton(u"发送测试通知"_s, m_table);
        test->setObjectName(u"发送测试通知"_s);
        m_table->setCellWidget(row, TestColumn, test);
        // The row is looked up at the click: rows above may have been removed since.
        connect(test, &QPushButton::clicked, this, [this, test] {
            for (int r = 0; r < m_table->rowCount(); ++r) {
                if (m_table->cellWidget(r, TestColumn) == test)
                    SendTest(r);
            }
        });
    }
    test->setEnabled(!data.testing);
    m_table->resizeColumnToContents(KindColumn);
    m_table->resizeColumnToContents(TestColumn);
}

void NotifySettingsDialog::SendTest(int row)
{
    if (row < 0 || row >= m_rows.size() || m_rows.at(row).testing)
        return;
    m_rows[row].testing = true;
    FillRow(row);
    EnsureCurlGlobalInit();
    const quint64 id = m_rows.at(row).id;
    const NotifyTarget target = m_rows.at(row).target;
    m_pool.start([this, id, target, cancel = m_cancel] {
        const QString why = SendNotifyTest(target, cancel);
        // The destructor waits for this task, so the dialog is alive here; the call runs on its thread.
        QMetaObject::invokeMethod(
            this, [this, id, why] { ShowAnswer(id, why); }, Qt::QueuedConnection);
    });
}

int NotifySettingsDialog::RowOf(quint64 id) const
{
    for (int row = 0; row < m_rows.size(); ++row) {
        if (m_rows.at(row).id == id)
            return row;
    }
    return -1;
}

void NotifySettingsDialog::ShowAnswer(quint64 id, const QString& why)
{
    const int row = RowOf(id);
    if (row < 0)
        return; // removed or changed while the test ran
    const QString text = why.isEmpty() ? u"已送达"_s : u"失败：%1"_s.arg(why);
    m_rows[row].testing = false;
    m_rows[row].answer = text;
    FillRow(row);
    ShowAnswerText(row);
}

void NotifySettingsDialog::ShowAnswerText(int row)
{
    const Row& data = m_rows.at(row);
    m_answer->setText(u"测试通知（%1 %2）：%3"_s.arg(
        NotifyKindLabel(NotifyKindName(data.target.kind)), RedactedNotifyUrl(data.target.url), data.answer));
}

void NotifySettingsDialog::accept()
{
    // A target typed but not added would be lost without a word.
    if (!m_url->text().trimmed().isEmpty()) {
        const int row = m_table->currentRow();
        NotifyTarget target;
        const bool saved = row >= 0 && row < m_rows.size() && EditorTarget(&target) && m_rows.at(row).target == target;
        if (!saved) {
            ShowProblem(u"网址框里的通知目标还没有保存：点“添加”或“保存修改”，或清空网址框后再确定。"_s);
            m_url->setFocus();
            return;
        }
    }
    QDialog::accept();
}
