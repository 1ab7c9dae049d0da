#pragma once

#include "store/config_text_store.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QWidget;

// Remembers what the user left in a window between runs: one value per component, in one section of
// the configuration file, the kind of each component taken from the start of its objectName.
//
// The walk visits the window's descendant widgets depth-first, each parent before its children and
// siblings in their QObject::children() order (creation order unless a widget was re-parented,
// raised or lowered). A component's tag is its dynamic property "tag" (QString): "禁止保存" leaves it
// out, "字节集方式" stores its value in a side file under "inibin/" beside the configuration file.
//
// Kinds: 按钮 (tag), 编辑框 (QLineEdit, QPlainTextEdit, QTextEdit), 选择框 / 单选框 (QAbstractButton),
// 组合框 (QComboBox), 列表框 / 选择列表框 (QListWidget; item data is Qt::UserRole, ticks the check
// state), 颜色选择器 (property "color", stored as 0x00BBGGRR), 通用对话框 (property "text"),
// 树型框 (QTreeWidget, its items as a byte string).
// SaveForm replaces the file once at its end, and not at all when nothing changed. RestoreForm does not
// run the pump hook, so no event handler can delete a component while it is being restored.
class FormStateStore : public ConfigTextStore
{
public:
    FormStateStore();
    ~FormStateStore() override;

    // mode 0 keeps the file as the live file, mode 1 opens it without.
    bool SetFile(const QString& path, int mode = 0);
    void SetSection(const QString& name);
    QString Section() const { return m_section; }
    int Mode() const { return m_mode; }

    bool WriteText(const QString& key, const QString& value);
    QString ReadText(const QString& key, const QString& defaultValue = {});
    bool WriteNumber(const QString& key, double value);
    double ReadNumber(const QString& key, double defaultValue = 0);
    bool WriteBool(const QString& key, bool value);
    bool ReadBool(const QString& key, bool defaultValue = false);
    bool WriteBytes(const QString& key, const QByteArray& value);
    QByteArray ReadBytes(const QString& key, const QByteArray& defaultValue = {});
    // Side file of a key in the current section; empty when no file is set.
    QString SideFilePath(const QString& key) const;

    void SaveForm(QWidget* window, const QString& section = QStringLiteral("主界面"));
    void RestoreForm(QWidget* window, const QString& section = QStringLiteral("主界面"));

    // CR LF <-> "┊*┊", so that a multi-line text fits on one key line.
    static QString FoldLineBreaks(const QString& text);
    static QString UnfoldLineBreaks(const QString& text);
    // Leading decimal number of a stored text; 0 when there is none.
    static double ParseNumber(const QByteArray& text);

private:
    // Nullopt when the key is missing; the walk then leaves the component alone.
    std::optional<QString> StoredText(const QString& key);
    void Walk(QWidget* window, const QString& section, bool restore);
    void WalkComponent(QWidget* widget, bool restore);

    QString m_section;
    int m_mode = 0;
};
