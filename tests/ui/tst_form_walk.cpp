#include "ui/form_walk.h"

#include "store/form_state_store.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ino_t Inode(const QString& path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

QByteArray Gbk(const QString& text)
{
    return ConfigTextStore::Encode(text);
}

template <typename T> T* Add(QWidget* parent, const QString& name)
{
    auto* widget = new T(parent);
    widget->setObjectName(name);
    return widget;
}

// A window with a component of every kind, plus the kinds that are never stored.
struct Form
{
    std::unique_ptr<QWidget> window = std::make_unique<QWidget>();
    QGroupBox* group = Add<QGroupBox>(window.get(), u"分组框1"_s);
    QCheckBox* check = Add<QCheckBox>(group, u"选择框按状态码"_s);
    QLineEdit* line = Add<QLineEdit>(group, u"编辑框状态码"_s);
    QPushButton* sites = Add<QPushButton>(window.get(), u"按钮输入网站列表"_s);
    QPushButton* noSave = Add<QPushButton>(window.get(), u"按钮不存"_s);
    QPlainTextEdit* multi = Add<QPlainTextEdit>(window.get(), u"编辑框多行"_s);
    QLineEdit* bytes = Add<QLineEdit>(window.get(), u"编辑框字节"_s);
    QRadioButton* radio = Add<QRadioButton>(window.get(), u"单选框甲"_s);
    QComboBox* dropDown = Add<QComboBox>(window.get(), u"组合框列表"_s);
    QComboBox* editable = Add<QComboBox>(window.get(), u"组合框编辑"_s);
    QListWidget* list = Add<QListWidget>(window.get(), u"列表框项目"_s);
    QListWidget* checkList = Add<QListWidget>(window.get(), u"选择列表框项目"_s);
    QWidget* color = Add<QWidget>(window.get(), u"颜色选择器背景"_s);
    QWidget* dialog = Add<QWidget>(window.get(), u"通用对话框打开"_s);
    QTreeWidget* tree = Add<QTreeWidget>(window.get(), u"树型框目录"_s);
    QLabel* label = Add<QLabel>(window.get(), u"标签1"_s);
    QTableWidget* view = Add<QTableWidget>(window.get(), u"超级列表框"_s);

    Form()
    {
        noSave->setProperty("tag", u"禁止保存"_s);
        bytes->setProperty("tag", u"字节集方式"_s);
        dropDown->addItems({ u"零"_s, u"一"_s, u"二"_s });
        editable->setEditable(true);
        radio->setAutoExclusive(false);
        color->setProperty("color", QColor(0, 0, 0));
        dialog->setProperty("text", QString());
    }

    void Fill()
    {
        check->setChecked(true);
        line->setText(u"200|301"_s);
        sites->setProperty("tag", u"http://a\r\nhttp://b\r\nhttp://c"_s);
        multi->setPlainText(u"x\ny┊*┊z"_s);
        bytes->setText(u"字节𠀀"_s);
        radio->setChecked(true);
        dropDown->setCurrentIndex(2);
        editable->setEditText(u"自由"_s);
        list->addItem(u"一"_s);
        list->item(0)->setData(Qt::UserRole, 7);
        list->addItem(u"二"_s);
        for (const QString& text : { u"甲"_s, u"乙"_s }) {
            auto* item = new QListWidgetItem(text, checkList);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(text == u"甲"_s ? Qt::Checked : Qt::Unchecked);
        }
        color->setProperty("color", QColor(1, 2, 3));
        dialog->setProperty("text", u"/tmp/文件"_s);
        auto* top = new QTreeWidgetItem(tree, { u"根"_s });
        new QTreeWidgetItem(top, { u"叶"_s });
    }
};

} // namespace

class TstFormWalk final : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->filePath(Persist::ConfigFileName());
    }

    void saveAndRestoreEveryKind()
    {
        FormStateStore store;
        QVERIFY(store.SetFile(m_path, 0));
        Form saved;
        saved.Fill();
        SaveForm(store, saved.window.get());

        // Window order, one line per stored component; labels, group boxes, list views and the
        // opted-out button are absent, byte-mode and tree values live in side files.
        const QString expected = u"[主界面]\r\n选择框按状态码=真\r\n编辑框状态码=200|301\r\n"
                                 "按钮输入网站列表.标记=http://a┊*┊http://b┊*┊http://c\r\n"
                                 "编辑框多行=x┊*┊y┊*┊z\r\n单选框甲=真\r\n组合框列表=2\r\n组合框编辑.内容=自由\r\n"
                                 "列表框项目=一{G}7{H}二{G}0\r\n选择列表框项目=甲{G}0{G}真{H}乙{G}0{G}假\r\n"
                                 "颜色选择器背景=197121\r\n通用对话框打开=/tmp/文件"_s;
        QCOMPARE(ReadFile(m_path), Gbk(expected));
        QCOMPARE(ReadFile(m_dir->filePath(u"inibin/主界面-编辑框字节.ibn"_s)), Gbk(u"字节𠀀"_s));
        QVERIFY(QFile::exists(m_dir->filePath(u"inibin/主界面-树型框目录.列表.ibn"_s)));
        QCOMPARE(QFileInfo(store.SideFilePath(u"../../x"_s)).absolutePath(), m_dir->filePath(u"inibin"_s));

        // A value stored for the opted-out button is not restored either.
        QVERIFY(store.WriteText(u"按钮不存.标记"_s, u"x"_s));

        FormStateStore reader;
        QVERIFY(reader.SetFile(m_path, 1));
        Form restored;
        restored.list->addItem(u"stale"_s);
        RestoreForm(reader, restored.window.get());
        QCOMPARE(restored.check->isChecked(), true);
        QCOMPARE(restored.line->text(), u"200|301"_s);
        QCOMPARE(restored.sites->property("tag").toString(), u"http://a\r\nhttp://b\r\nhttp://c"_s);
        QCOMPARE(restored.noSave->property("tag").toString(), u"禁止保存"_s);
        // The marker inside the text comes back as a line break, as it always has.
        QCOMPARE(restored.multi->toPlainText(), u"x\ny\nz"_s);
        QCOMPARE(restored.bytes->text(), u"字节𠀀"_s);
        QCOMPARE(restored.radio->isChecked(), true);
        QCOMPARE(restored.dropDown->currentIndex(), 2);
        QCOMPARE(restored.editable->currentText(), u"自由"_s);
        QCOMPARE(restored.list->count(), 2);
        QCOMPARE(restored.list->item(0)->data(Qt::UserRole).toLongLong(), 7);
        QCOMPARE(restored.list->item(1)->text(), u"二"_s);
        QCOMPARE(restored.checkList->item(0)->checkState(), Qt::Checked);
        QCOMPARE(restored.checkList->item(1)->checkState(), Qt::Unchecked);
        QCOMPARE(restored.color->property("color").value<QColor>(), QColor(1, 2, 3));
        QCOMPARE(restored.dialog->property("text").toString(), u"/tmp/文件"_s);
        QCOMPARE(restored.tree->topLevelItemCount(), 1);
        QCOMPARE(restored.tree->topLevelItem(0)->child(0)->text(0), u"叶"_s);
    }

    void oddOrMissingValuesOnRestore()
    {
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(Gbk(u"[主界面]\r\n选择框按状态码=是\r\n编辑框状态码=\r\n组合框列表=abc\r\n列表框项目=\r\n"
                       "颜色选择器背景=2.5e2x"_s));
        file.close();
        QDir().mkpath(m_dir->filePath(u"inibin"_s));
        QFile damaged(m_dir->filePath(u"inibin/主界面-树型框目录.列表.ibn"_s));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("not a tree");
        damaged.close();

        FormStateStore store;
        QVERIFY(store.SetFile(m_path, 0));
        Form form;
        form.Fill();
        form.check->setChecked(true);
        RestoreForm(store, form.window.get());
        QCOMPARE(form.check->isChecked(), false); // anything but "真" is unticked
        QCOMPARE(form.line->text(), QString()); // stored empty is empty, not the default
        QCOMPARE(form.dropDown->currentIndex(), 0); // unparsable number reads as 0
        QCOMPARE(form.list->count(), 0); // an empty list, not one empty item
        QCOMPARE(form.color->property("color").value<QColor>(), QColor(250, 0, 0));
        QCOMPARE(form.tree->topLevelItemCount(), 1); // damaged side file: tree kept
        // Missing keys leave the components as they were.
        QCOMPARE(form.multi->toPlainText(), u"x\ny┊*┊z"_s);
        QCOMPARE(form.radio->isChecked(), true);
        QCOMPARE(form.sites->property("tag").toString(), u"http://a\r\nhttp://b\r\nhttp://c"_s);
    }

    void saveWritesOnlyWhatChanged()
    {
        // A file as earlier versions left it: its unknown parts must survive the walk untouched.
        QVERIFY(QFile::copy(QStringLiteral(PATROL_TEST_DATA_DIR "/store/legacy_gbk.ini"), m_path));
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);
        const QByteArray legacy = ReadFile(m_path);
        FormStateStore store;
        QVERIFY(store.SetFile(m_path, 0));
        auto window = std::make_unique<QWidget>();
        auto* sites = Add<QPushButton>(window.get(), u"按钮输入网站列表"_s);
        auto* threads = Add<QLineEdit>(window.get(), u"编辑框线程数"_s);
        RestoreForm(store, window.get());
        QCOMPARE(sites->property("tag").toString(), u"http://a.example\r\nhttp://b.example"_s);
        QCOMPARE(threads->text(), u"8"_s);

        const ino_t before = Inode(m_path);
        SaveForm(store, window.get());
        QCOMPARE(Inode(m_path), before); // nothing changed, nothing written
        QCOMPARE(ReadFile(m_path), legacy);

        threads->setText(u"9"_s);
        SaveForm(store, window.get());
        QByteArray expected = legacy;
        expected.replace(Gbk(u"编辑框线程数=8"_s), Gbk(u"编辑框线程数=9"_s));
        QCOMPARE(ReadFile(m_path), expected);

        // A second program's store keeps its changes, side files included, to itself.
        FormStateStore second;
        QVERIFY(!second.SetFile(m_path, 0));
        threads->setText(u"10"_s);
        SaveForm(second, window.get());
        QVERIFY(second.Text().contains(Gbk(u"编辑框线程数=10"_s)));
        threads->setProperty("tag", u"字节集方式"_s);
        SaveForm(second, window.get());
        QCOMPARE(ReadFile(m_path), expected);
        QVERIFY(!QFile::exists(second.SideFilePath(u"编辑框线程数"_s)));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

QTEST_MAIN(TstFormWalk)

#include "tst_form_walk.moc"
