#include "store/form_state_store.h"

#include <QAbstractButton>
#include <QColor>
#include <QComboBox>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextEdit>
#include <QTreeWidget>
#include <QWidget>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

enum class Kind {
    None,
    Button,
    EditBox,
    CheckBox,
    RadioButton,
    ComboBox,
    ListBox,
    CheckListBox,
    ColorPicker,
    CommonDialog,
    TreeView,
};

// Tried in this order; "选择列表框" cannot be taken for "选择框" because the third character differs.
Kind KindOf(const QString& name)
{
    static const std::array<std::pair<QString, Kind>, 10> kPrefixes { {
        { u"按钮"_s, Kind::Button },
        { u"编辑框"_s, Kind::EditBox },
        { u"选择框"_s, Kind::CheckBox },
        { u"单选框"_s, Kind::RadioButton },
        { u"组合框"_s, Kind::ComboBox },
        { u"列表框"_s, Kind::ListBox },
        { u"选择列表框"_s, Kind::CheckListBox },
        { u"颜色选择器"_s, Kind::ColorPicker },
        { u"通用对话框"_s, Kind::CommonDialog },
        { u"树型框"_s, Kind::TreeView },
    } };
    for (const auto& [prefix, kind] : kPrefixes) {
        if (name.startsWith(prefix))
            return kind;
    }
    return Kind::None;
}

const QString kNoSaveTag = u"禁止保存"_s;
const QString kByteModeTag = u"字节集方式"_s;
const QString kLineBreakMarker = u"┊*┊"_s;
const QString kTrue = u"真"_s;
const QString kFalse = u"假"_s;
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
            piece += u"{G}"_s + (item->checkState() == Qt::Checked ? kTrue : kFalse);
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
            item->setCheckState(fields.value(2) == kTrue ? Qt::Checked : Qt::Unchecked);
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
    case QMetaType::UnknownType: ok = true; break;
    case QMetaType::Bool: case QMetaType::Char: case QMetaType::SChar: case QMetaType::UChar: ok = skip(1); break;
    case QMetaType::Short: case QMetaType::UShort: case QMetaType::QChar: ok = skip(2); break;
    case QMetaType::Int: case QMetaType::UInt: ok = skip(4); break;
    case QMetaType::LongLong: case QMetaType::ULongLong: case QMetaType::Double: ok = skip(8); break;
    case QMetaType::QString: ok = skipSized(true); break;
    case QMetaType::QByteArray: ok = skipSized(false); break;
    default: return false;
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

} // namespace

FormStateStore::FormStateStore() = default;

FormStateStore::~FormStateStore() = default;

bool FormStateStore::SetFile(const QString& path, int mode)
{
    m_mode = mode;
    return Open(path, mode != 0);
}

void FormStateStore::SetSection(const QString& name)
{
    m_section = name;
}

bool FormStateStore::WriteText(const QString& key, const QString& value)
{
    return WriteKey(m_section, key, FoldLineBreaks(value)) == 0;
}

QString FormStateStore::ReadText(const QString& key, const QString& defaultValue)
{
    return StoredText(key).value_or(UnfoldLineBreaks(FoldLineBreaks(defaultValue)));
}

std::optional<QString> FormStateStore::StoredText(const QString& key)
{
    const QByteArray stored = ReadKeyBytes(Encode(m_section), Encode(key));
    if (stored.isNull())
        return std::nullopt;
    return UnfoldLineBreaks(Decode(stored));
}

bool FormStateStore::WriteNumber(const QString& key, double value)
{
    QString text;
    if (std::isfinite(value) && value == std::trunc(value) && std::abs(value) < 9.0e15)
        text = QString::number(qint64(value));
    else
        text = QString::number(value, 'g', QLocale::FloatingPointShortest);
    return WriteKey(m_section, key, text) == 0;
}

double FormStateStore::ReadNumber(const QString& key, double defaultValue)
{
    const QByteArray stored = ReadKeyBytes(Encode(m_section), Encode(key));
    return stored.isNull() ? defaultValue : ParseNumber(stored);
}

bool FormStateStore::WriteBool(const QString& key, bool value)
{
    return WriteKey(m_section, key, value ? kTrue : kFalse) == 0;
}

bool FormStateStore::ReadBool(const QString& key, bool defaultValue)
{
    const QByteArray stored = ReadKeyBytes(Encode(m_section), Encode(key));
    return stored.isNull() ? defaultValue : stored == Encode(kTrue);
}

bool FormStateStore::WriteBytes(const QString& key, const QByteArray& value)
{
    // A store that lost the live file to another program keeps its changes to itself.
    const QString path = SideFilePath(key);
    if (path.isEmpty() || (m_mode == 0 && !HasLiveFile()))
        return false;
    QFile current(path);
    if (current.open(QIODevice::ReadOnly) && current.size() == value.size() && current.readAll() == value)
        return true;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    return ReplaceFile(path, value);
}

QByteArray FormStateStore::ReadBytes(const QString& key, const QByteArray& defaultValue)
{
    const QString path = SideFilePath(key);
    if (path.isEmpty())
        return defaultValue;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return defaultValue;
    const QByteArray bytes = file.readAll();
    return bytes.isEmpty() ? defaultValue : bytes;
}

QString FormStateStore::SideFilePath(const QString& key) const
{
    if (Path().isEmpty())
        return {};
    // Section and key are names, not paths: a "/" must not lead out of the inibin directory.
    QString name = m_section + u'-' + key + u".ibn"_s;
    name.replace(u'/', u'_');
    name.replace(QChar(0), u'_');
    return QFileInfo(Path()).absolutePath() + u"/inibin/"_s + name;
}

void FormStateStore::SaveForm(QWidget* window, const QString& section)
{
    Walk(window, section, false);
}

void FormStateStore::RestoreForm(QWidget* window, const QString& section)
{
    Walk(window, section, true);
}

QString FormStateStore::FoldLineBreaks(const QString& text)
{
    QString folded = text;
    folded.replace(u"\r\n"_s, kLineBreakMarker);
    return folded;
}

QString FormStateStore::UnfoldLineBreaks(const QString& text)
{
    QString unfolded = text;
    unfolded.replace(kLineBreakMarker, u"\r\n"_s);
    return unfolded;
}

double FormStateStore::ParseNumber(const QByteArray& text)
{
    // The leading decimal number, as the file's older readers took it; no locale involved.
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto isDigit = [&](qsizetype at) { return at < n && text[at] >= '0' && text[at] <= '9'; };
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    const qsizetype start = i;
    if (i < n && (text[i] == '+' || text[i] == '-'))
        ++i;
    bool digits = false;
    while (isDigit(i)) {
        ++i;
        digits = true;
    }
    if (i < n && text[i] == '.') {
        ++i;
        while (isDigit(i)) {
            ++i;
            digits = true;
        }
    }
    if (!digits)
        return 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        qsizetype e = i + 1;
        if (e < n && (text[e] == '+' || text[e] == '-'))
            ++e;
        if (isDigit(e)) {
            while (isDigit(e))
                ++e;
            i = e;
        }
    }
    bool ok = false;
    const double value = text.sliced(start, i - start).toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0;
}

void FormStateStore::Walk(QWidget* window, const QString& section, bool restore)
{
    if (!window)
        return;
    if (!section.isEmpty())
        SetSection(section);
    std::vector<QPointer<QWidget>> widgets;
    CollectWidgets(window, &widgets);
    // One file replace for the whole walk, none when nothing changed.
    BeginBatch();
    // Restoring touches each component after reading its value; no event may run in between.
    SetPumpSuspended(restore);
    for (const QPointer<QWidget>& widget : widgets) {
        if (widget) // the event pump may have deleted it
            WalkComponent(widget, restore);
    }
    SetPumpSuspended(false);
    EndBatch();
}

void FormStateStore::WalkComponent(QWidget* widget, bool restore)
{
    const QString name = widget->objectName();
    const Kind kind = KindOf(name);
    if (kind == Kind::None)
        return;
    const QString tag = widget->property("tag").toString();
    if (tag == kNoSaveTag)
        return;
    const bool byteMode = tag == kByteModeTag;

    switch (kind) {
    case Kind::Button: {
        const QString key = name + u".标记"_s;
        if (!restore) {
            byteMode ? WriteBytes(key, Encode(tag)) : WriteText(key, tag);
            break;
        }
        const QString value = byteMode ? Decode(ReadBytes(key, Encode(tag))) : StoredText(key).value_or(tag);
        if (value != tag)
            widget->setProperty("tag", value);
        break;
    }
    case Kind::EditBox: {
        if (!IsEditBox(widget))
            break;
        const QString current = EditText(widget);
        if (!restore) {
            byteMode ? WriteBytes(name, Encode(current)) : WriteText(name, current);
            break;
        }
        const QString value
            = byteMode ? Decode(ReadBytes(name, Encode(current))) : StoredText(name).value_or(current);
        if (value != current)
            SetEditText(widget, value);
        break;
    }
    case Kind::CheckBox:
    case Kind::RadioButton: {
        auto* button = qobject_cast<QAbstractButton*>(widget);
        if (!button)
            break;
        if (!restore)
            WriteBool(name, button->isChecked());
        else if (const bool checked = ReadBool(name, button->isChecked()); checked != button->isChecked())
            button->setChecked(checked);
        break;
    }
    case Kind::ComboBox: {
        auto* combo = qobject_cast<QComboBox*>(widget);
        if (!combo)
            break;
        if (!combo->isEditable()) {
            if (!restore) {
                WriteNumber(name, combo->currentIndex());
                break;
            }
            const double index = ReadNumber(name, combo->currentIndex());
            if (index >= -1 && index < combo->count() && int(index) != combo->currentIndex())
                combo->setCurrentIndex(int(index));
            break;
        }
        const QString key = name + u".内容"_s;
        if (!restore)
            WriteText(key, combo->currentText());
        else if (const QString text = StoredText(key).value_or(combo->currentText()); text != combo->currentText())
            combo->setEditText(text);
        break;
    }
    case Kind::ListBox:
    case Kind::CheckListBox: {
        auto* list = qobject_cast<QListWidget*>(widget);
        if (!list)
            break;
        const bool withTicks = kind == Kind::CheckListBox;
        const QString current = ItemListText(list, withTicks);
        if (!restore)
            WriteText(name, current);
        else if (const QString text = StoredText(name).value_or(current); text != current)
            SetItemList(list, text, withTicks);
        break;
    }
    case Kind::ColorPicker: {
        const QColor color = widget->property("color").value<QColor>();
        if (!color.isValid())
            break;
        if (!restore)
            WriteNumber(name, ColorNumber(color));
        else if (const QColor stored = NumberColor(ReadNumber(name, ColorNumber(color))); stored != color)
            widget->setProperty("color", stored);
        break;
    }
    case Kind::CommonDialog: {
        const QVariant text = widget->property("text");
        if (!text.isValid())
            break;
        const QString current = text.toString();
        if (!restore)
            WriteText(name, current);
        else if (const QString value = StoredText(name).value_or(current); value != current)
            widget->setProperty("text", value);
        break;
    }
    case Kind::TreeView: {
        auto* tree = qobject_cast<QTreeWidget*>(widget);
        if (!tree)
            break;
        const QString key = name + u".列表"_s;
        if (!restore) {
            WriteBytes(key, TreeBytes(tree));
            break;
        }
        const QByteArray bytes = ReadBytes(key);
        if (!bytes.isEmpty() && bytes != TreeBytes(tree))
            SetTreeBytes(tree, bytes);
        break;
    }
    case Kind::None:
        break;
    }
}
