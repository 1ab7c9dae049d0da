#pragma once

#include "monitor/alert_settings.h"

#include <QDialog>
#include <QList>
#include <QThreadPool>

#include <atomic>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

// The window's 提醒与历史设置: history and desktop switches, the notification targets (add, edit, remove, a test
// message each) and the noise rules. Opened with open(), never exec(): a test runs on the dialog's own pool and
// its answer comes back as a queued call, so nothing waits. Closing cancels the tests under way and waits for
// them to notice (the request checks its cancel flag), so no answer outlives the dialog.
//
// A target typed but not added, or a wrong address, keeps the dialog open with what was typed and says why.
class NotifySettingsDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NotifySettingsDialog)

public:
    // historyAvailable false: no configuration file, so the history switch is shown off and locked.
    NotifySettingsDialog(const AlertSettings& settings, bool historyAvailable, QWidget* parent = nullptr);
    ~NotifySettingsDialog() override;

    AlertSettings Result() const;
    void SendTest(int row);

    // Columns of the target table.
    enum Column { KindColumn, UrlColumn, SecretColumn, TestColumn, AnswerColumn };

public slots:
    void accept() override;

private:
    struct Row
    {
        NotifyTarget target;
        quint64 id = 0; // a fresh id per edit: an answer for the target as it was is dropped
        bool testing = false;
        QString answer; // of the last test
    };

    void AddTarget();
    void UpdateTarget();
    void RemoveTarget();
    void LoadSelected();
    // The editor's target, or false with the problem shown and the text kept.
    bool EditorTarget(NotifyTarget* target);
    void ShowProblem(const QString& text);
    void FillRow(int row);
    void ShowAnswer(quint64 id, const QString& why);
    void ShowAnswerText(int row);
    int RowOf(quint64 id) const;

    QList<Row> m_rows;
    quint64 m_nextId = 1;
    QCheckBox* m_history = nullptr;
    QCheckBox* m_desktop = nullptr;
    QTableWidget* m_table = nullptr;
    QComboBox* m_kind = nullptr;
    QLineEdit* m_url = nullptr;
    QLineEdit* m_secret = nullptr;
    QPushButton* m_update = nullptr;
    QPushButton* m_remove = nullptr;
    QLabel* m_problem = nullptr;
    QLabel* m_answer = nullptr;
    QSpinBox* m_confirm = nullptr;
    QSpinBox* m_remind = nullptr;
    std::shared_ptr<std::atomic<bool>> m_cancel = std::make_shared<std::atomic<bool>>(false);
    QThreadPool m_pool;
};

// "钉钉群机器人" and the like for a kind's name as KIND=URL takes it; the name itself for one not listed here.
QString NotifyKindLabel(const QString& name);
