#include "ui/form_walk.h"

#include "store/form_state_store.h"

#include <QAbstractButton>
#include <QColor>
#include <QComboBox>
#include <QDataStream>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextEdit>
#include <QTreeWidget>
#include <QWidget>

#include <algorithm>
#include <array>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString kNoSaveTag = u"禁止保存"_s;
const QString kByteModeTag = u"字节集方式"_s;
constexpr quint32 kTreeMagic = 0x504c5431; // format tag of the tree's byte string
constexpr int kMaxTreeDepth = 64;

// Window order: each parent before its children, siblings in children() order.
void CollectWidgets(QWidget* parent, std::vector<QPointer<QWidget>>* out)
{
    for (QObject* child : parent->children()) {
        if (auto* widget = qobject_cast<QWidget*>(child)) {
            out->emplace_back(widget);
            CollectWidgets(widget, out);
        }
    }
}

// Multi-line editors use "\n"; the stored text uses CR LF like the rest of the program.
QString ToCrLf(QString text)
{
    text.replace(u"\r\n"_s, u"\n"_s);
    text.replace(u'\n', u"\r\n"_s);
    return text;
}

QString FromCrLf(QString text)
{
    text.replace(u"\r\n"_s, u"\n"_s);
    return text;
}

QString EditText(QWidget* widget)
{
    if (auto* line = qobject_cast<QLineEdit*>(widget))
        return line->text();
    if (auto* plain = qobject_cast<QPlainTextEdit*>(widget))
        return ToCrLf(plain->toPlainText());
    if (auto* rich = qobject_cast<QTextEdit*>(widget))
        return ToCrLf(rich->toPlainText());
    return {};
}

void SetEditText(QWidget* widget, const QString& text)
{
    if (auto* line = qobject_cast<QLineEdit*>(widget))
        line->setText(text);
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget))
        plain->setPlainText(FromCrLf(text));
    else if (auto* rich = qobject_cast<QTextEdit*>(widget))
        rich->setPlainText(FromCrLf(text));
}

bool IsEditBox(QWidget* widget)
{
    return qobject_cast<QLineEdit*>(widget) || qobject_cast<QPlainTextEdit*>(widget)
        || qobject_cast<QTextEdit*>(widget);
}

QString ItemListText(const QListWidget* list, bool withTicks)
{
    QStringList items;
    items.reserve(list->count());
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem* item = list->item(i);
        QString piece = item->text() + u"{G}"_s + QString::number(item->data(Qt::UserRole).toLongLong());
        if (withTicks)
            piece += u"{G}"_s
                + (item->checkState() == Qt::Checked ? FormStateStore::kTrueText : FormStateStore::kFalseText);
        items.append(piece);
    }
    return items.join(u"{H}"_s);
}

void SetItemList(QListWidget* list, const QString& text, bool withTicks)
{
    list->clear();
    if (text.isEmpty())
        return; // an empty list, not one empty item
    const QStringList pieces = text.split(u"{H}"_s);
    for (const QString& piece : pieces) {
        const QStringList fields = piece.split(u"{G}"_s);
        auto* item = new QListWidgetItem(fields.value(0));
        const double data = FormStateStore::ParseNumber(fields.value(1).toLatin1());
        item->setData(Qt::UserRole, qint64(std::clamp(data, -9.0e18, 9.0e18)));
        if (withTicks) {
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(fields.value(2) == FormStateStore::kTrueText ? Qt::Checked : Qt::Unchecked);
        }
        list->addItem(item);
    }
}

// COLORREF layout, as the file has always held colours.
double ColorNumber(const QColor& color)
{
    return double(quint32(color.red()) | quint32(color.green()) << 8 | quint32(color.blue()) << 16);
}

QColor NumberColor(double number)
{
    const auto value = quint32(std::clamp(number, 0.0, double(0xffffff)));
    return QColor(int(value & 0xff), int(value >> 8 & 0xff), int(value >> 16 & 0xff));
}

void WriteTreeItem(QDataStream& out, const QTreeWidgetItem* item)
{
    item->write(out);
    out << qint32(item->childCount());
    for (int i = 0; i < item->childCount(); ++i)
        WriteTreeItem(out, item->child(i));
}

QByteArray TreeBytes(const QTreeWidget* tree)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    out << kTreeMagic << qint32(tree->topLevelItemCount());
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        WriteTreeItem(out, tree->topLevelItem(i));
    return bytes;
}

// Null on any damage; the caller then leaves the tree as it is.
QTreeWidgetItem* ReadTreeItem(QDataStream& in, int depth)
{
    auto* item = new QTreeWidgetItem;
    item->read(in);
    qint32 children = 0;
    in >> children;
    if (in.status() != QDataStream::Ok || children < 0 || depth > kMaxTreeDepth) {
        delete item;
        return nullptr;
    }
    for (qint32 i = 0; i < children; ++i) {
        QTreeWidgetItem* child = ReadTreeItem(in, depth + 1);
        if (!child) {
            delete item;
            return nullptr;
        }
        item->addChild(child);
    }
    return item;
}

// Qt's loaders of some value types crash on damaged bytes, and its list readers reserve whatever count the
// bytes claim; so a side file reaches QTreeWidgetItem::read only when it is made of plain values throughout.
bool SkipPlainValue(QDataStream& in)
{
    quint32 type = 0;
    qint8 isNull = 0;
    in >> type >> isNull;
    auto skip = [&in](qint64 length) { return in.skipRawData(int(length)) == length; };
    auto skipSized = [&](bool evenOnly) {
        quint32 length = 0;
        in >> length;
        return length == 0xffffffff || ((!evenOnly || length % 2 == 0) && skip(length));
    };
    bool ok = false;
    switch (type) {
    case QMetaType::UnknownType:
        ok = true;
        break;
    case QMetaType::Bool:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        ok = skip(1);
        break;
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::QChar:
        ok = skip(2);
        break;
    case QMetaType::Int:
    case QMetaType::UInt:
        ok = skip(4);
        break;
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        ok = skip(8);
        break;
    case QMetaType::QString:
        ok = skipSized(true);
        break;
    case QMetaType::QByteArray:
        ok = skipSized(false);
        break;
    default:
        return false;
    }
    return ok && in.status() == QDataStream::Ok;
}

bool SkipPlainItem(QDataStream& in, int depth)
{
    // The item's role values (lists of role and value per column), its display texts, its children.
    quint32 columns = 0;
    in >> columns;
    for (quint32 c = 0; c < columns && in.status() == QDataStream::Ok; ++c) {
        quint32 roles = 0;
        in >> roles;
        for (quint32 r = 0; r < roles && in.status() == QDataStream::Ok; ++r) {
            qint32 role = 0;
            in >> role;
            if (!SkipPlainValue(in))
                return false;
        }
    }
    quint32 texts = 0;
    in >> texts;
    for (quint32 t = 0; t < texts && in.status() == QDataStream::Ok; ++t) {
        if (!SkipPlainValue(in))
            return false;
    }
    qint32 children = 0;
    in >> children;
    if (in.status() != QDataStream::Ok || children < 0 || depth > kMaxTreeDepth)
        return false;
    for (qint32 i = 0; i < children; ++i) {
        if (!SkipPlainItem(in, depth + 1))
            return false;
    }
    return true;
}

// Opens a tree side file's stream and reads its header; false when it is not one of ours.
bool OpenTreeStream(QDataStream& in, qint32* count)
{
    in.setVersion(QDataStream::Qt_6_4);
    quint32 magic = 0;
    in >> magic >> *count;
    return in.status() == QDataStream::Ok && magic == kTreeMagic && *count >= 0;
}

bool IsPlainTree(const QByteArray& bytes)
{
    QDataStream in(bytes);
    qint32 count = 0;
    if (!OpenTreeStream(in, &count))
        return false;
    for (qint32 i = 0; i < count; ++i) {
        if (!SkipPlainItem(in, 0))
            return false;
    }
    return true;
}

bool SetTreeBytes(QTreeWidget* tree, const QByteArray& bytes)
{
    if (!IsPlainTree(bytes))
        return false;
    QDataStream in(bytes);
    qint32 count = 0;
    if (!OpenTreeStream(in, &count))
        return false;
    QList<QTreeWidgetItem*> items;
    for (qint32 i = 0; i < count; ++i) {
        QTreeWidgetItem* item = ReadTreeItem(in, 0);
        if (!item) {
            qDeleteAll(items);
            return false;
        }
        items.append(item);
    }
    tree->clear();
    tree->addTopLevelItems(items);
    return true;
}

// One component as the walk meets it.
struct Component
{
    QWidget* widget;
    QString name;
    QString tag;
    bool byteMode;
};

using KindFunction = void (*)(FormStateStore&, const Component&);

// Text kept either as a key or, in byte mode, in a side file.
void SaveTextValue(FormStateStore& store, const Component& c, const QString& key, const QString& value)
{
    c.byteMode ? store.WriteBytes(key, FormStateStore::Encode(value)) : store.WriteText(key, value);
}

QString RestoredTextValue(FormStateStore& store, const Component& c, const QString& key, const QString& current)
{
    return c.byteMode ? FormStateStore::Decode(store.ReadBytes(key, FormStateStore::Encode(current)))
                      : store.StoredText(key).value_or(current);
}

void SaveButton(FormStateStore& store, const Component& c)
{
    SaveTextValue(store, c, c.name + u".标记"_s, c.tag);
}

void RestoreButton(FormStateStore& store, const Component& c)
{
    if (const QString value = RestoredTextValue(store, c, c.name + u".标记"_s, c.tag); value != c.tag)
        c.widget->setProperty("tag", value);
}

void SaveEditBox(FormStateStore& store, const Component& c)
{
    if (IsEditBox(c.widget))
        SaveTextValue(store, c, c.name, EditText(c.widget));
}

void RestoreEditBox(FormStateStore& store, const Component& c)
{
    if (!IsEditBox(c.widget))
        return;
    const QString current = EditText(c.widget);
    if (const QString value = RestoredTextValue(store, c, c.name, current); value != current)
        SetEditText(c.widget, value);
}

void SaveCheck(FormStateStore& store, const Component& c)
{
    if (auto* button = qobject_cast<QAbstractButton*>(c.widget))
        store.WriteBool(c.name, button->isChecked());
}

void RestoreCheck(FormStateStore& store, const Component& c)
{
    auto* button = qobject_cast<QAbstractButton*>(c.widget);
    if (!button)
        return;
    if (const bool checked = store.ReadBool(c.name, button->isChecked()); checked != button->isChecked())
        button->setChecked(checked);
}

// A fixed list keeps its index; an editable one its text, under "<name>.内容".
void SaveComboBox(FormStateStore& store, const Component& c)
{
    auto* combo = qobject_cast<QComboBox*>(c.widget);
    if (!combo)
        return;
    if (!combo->isEditable())
        store.WriteNumber(c.name, combo->currentIndex());
    else
        store.WriteText(c.name + u".内容"_s, combo->currentText());
}

void RestoreComboBox(FormStateStore& store, const Component& c)
{
    auto* combo = qobject_cast<QComboBox*>(c.widget);
    if (!combo)
        return;
    if (!combo->isEditable()) {
        const double index = store.ReadNumber(c.name, combo->currentIndex());
        if (index >= -1 && index < combo->count() && int(index) != combo->currentIndex())
            combo->setCurrentIndex(int(index));
        return;
    }
    const QString current = combo->currentText();
    if (const QString text = store.StoredText(c.name + u".内容"_s).value_or(current); text != current)
        combo->setEditText(text);
}

template <bool withTicks> void SaveList(FormStateStore& store, const Component& c)
{
    if (auto* list = qobject_cast<QListWidget*>(c.widget))
        store.WriteText(c.name, ItemListText(list, withTicks));
}

template <bool withTicks> void RestoreList(FormStateStore& store, const Component& c)
{
    auto* list = qobject_cast<QListWidget*>(c.widget);
    if (!list)
        return;
    const QString current = ItemListText(list, withTicks);
    if (const QString text = store.StoredText(c.name).value_or(current); text != current)
        SetItemList(list, text, withTicks);
}

void SaveColor(FormStateStore& store, const Component& c)
{
    if (const QColor color = c.widget->property("color").value<QColor>(); color.isValid())
        store.WriteNumber(c.name, ColorNumber(color));
}

void RestoreColor(FormStateStore& store, const Component& c)
{
    const QColor color = c.widget->property("color").value<QColor>();
    if (!color.isValid())
        return;
    if (const QColor stored = NumberColor(store.ReadNumber(c.name, ColorNumber(color))); stored != color)
        c.widget->setProperty("color", stored);
}

void SaveCommonDialog(FormStateStore& store, const Component& c)
{
    if (const QVariant text = c.widget->property("text"); text.isValid())
        store.WriteText(c.name, text.toString());
}

void RestoreCommonDialog(FormStateStore& store, const Component& c)
{
    const QVariant text = c.widget->property("text");
    if (!text.isValid())
        return;
    const QString current = text.toString();
    if (const QString value = store.StoredText(c.name).value_or(current); value != current)
        c.widget->setProperty("text", value);
}

void SaveTree(FormStateStore& store, const Component& c)
{
    if (auto* tree = qobject_cast<QTreeWidget*>(c.widget))
        store.WriteBytes(c.name + u".列表"_s, TreeBytes(tree));
}

void RestoreTree(FormStateStore& store, const Component& c)
{
    auto* tree = qobject_cast<QTreeWidget*>(c.widget);
    if (!tree)
        return;
    const QByteArray bytes = store.ReadBytes(c.name + u".列表"_s);
    if (!bytes.isEmpty() && bytes != TreeBytes(tree))
        SetTreeBytes(tree, bytes);
}

struct KindEntry
{
    QString prefix;
    KindFunction save;
    KindFunction restore;
};

// Tried in this order; "选择列表框" cannot be taken for "选择框" because the third character differs.
const std::array<KindEntry, 10>& Kinds()
{
    static const std::array<KindEntry, 10> kinds { {
        { u"按钮"_s, SaveButton, RestoreButton },
        { u"编辑框"_s, SaveEditBox, RestoreEditBox },
        { u"选择框"_s, SaveCheck, RestoreCheck },
        { u"单选框"_s, SaveCheck, RestoreCheck },
        { u"组合框"_s, SaveComboBox, RestoreComboBox },
        { u"列表框"_s, SaveList<false>, RestoreList<false> },
        { u"选择列表框"_s, SaveList<true>, RestoreList<true> },
        { u"颜色选择器"_s, SaveColor, RestoreColor },
        { u"通用对话框"_s, SaveCommonDialog, RestoreCommonDialog },
        { u"树型框"_s, SaveTree, RestoreTree },
    } };
    return kinds;
}

const KindEntry* KindOf(const QString& name)
{
    for (const KindEntry& entry : Kinds()) {
        if (name.startsWith(entry.prefix))
            return &entry;
    }
    return nullptr;
}

void Walk(FormStateStore& store, QWidget* window, const QString& section, bool restore)
{
    if (!window)
        return;
    if (!section.isEmpty())
        store.SetSection(section);
    std::vector<QPointer<QWidget>> widgets;
    CollectWidgets(window, &widgets);
    // One file replace for the whole walk, none when nothing changed.
    store.BeginBatch();
    // Restoring touches each component after reading its value; no event may run in between.
    store.SetPumpSuspended(restore);
    for (const QPointer<QWidget>& widget : widgets) {
        if (!widget) // the event pump may have deleted it
            continue;
        const QString name = widget->objectName();
        const KindEntry* kind = KindOf(name);
        if (!kind)
            continue;
        const QString tag = widget->property("tag").toString();
        if (tag == kNoSaveTag)
            continue;
        const Component component { widget, name, tag, tag == kByteModeTag };
        (restore ? kind->restore : kind->save)(store, component);
    }
    store.SetPumpSuspended(false);
    store.EndBatch();
}

} // namespace

void SaveForm(FormStateStore& store, QWidget* window, const QString& section)
{
    Walk(store, window, section, false);
}

void RestoreForm(FormStateStore& store, QWidget* window, const QString& section)
{
    Walk(store, window, section, true);
}
