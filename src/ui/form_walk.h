#pragma once

#include "store/persistence.h"

#include <QString>

class FormStateStore;
class QWidget;

// Stores and restores what the user left in a window: one value per component, in one section of the
// configuration file, the kind of each component taken from the start of its objectName.
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
// run the store's pump hook, so no event handler can delete a component while it is being restored;
// a missing key leaves its component alone.
void SaveForm(FormStateStore& store, QWidget* window, const QString& section = Persist::kSection);
void RestoreForm(FormStateStore& store, QWidget* window, const QString& section = Persist::kSection);
