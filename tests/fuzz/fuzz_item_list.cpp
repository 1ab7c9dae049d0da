// A configuration file edited by hand or damaged: whatever a list box's item text or a tree's side file holds,
// restoring it never crashes, and what is saved after a restore restores to the very same thing.
#include "store/form_state_store.h"
#include "store/persistence.h"
#include "ui/form_walk.h"

#include "fuzz_input.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QTreeWidget>

#include <unistd.h>

namespace {

QWidget* g_window = nullptr;
QListWidget* g_list = nullptr;
QListWidget* g_checkList = nullptr;
QTreeWidget* g_tree = nullptr;
QString g_configPath;

const QString kList = u"列表框甲"_s;
const QString kCheckList = u"选择列表框乙"_s;
const QString kTree = u"树型框丙"_s;

QString Saved(FormStateStore& store, const QString& key)
{
    SaveForm(store, g_window);
    return store.ReadText(key, u"<missing>"_s);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(*argc, *argv);
    g_window = new QWidget;
    g_list = new QListWidget(g_window);
    g_list->setObjectName(kList);
    g_checkList = new QListWidget(g_window);
    g_checkList->setObjectName(kCheckList);
    g_tree = new QTreeWidget(g_window);
    g_tree->setObjectName(kTree);
    // tmpfs when there is one: the side files are replaced with fsync on every run.
    const QString base = QDir(u"/dev/shm"_s).exists() ? u"/dev/shm"_s : QDir::tempPath();
    const QString dir = base + u"/patrol-fuzz-items-%1"_s.arg(::getpid());
    QDir().mkpath(dir + u"/inibin"_s);
    g_configPath = dir + u"/config.ini"_s;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const quint8 flags = in.Byte();
    const QByteArray listBytes = in.Bytes(in.Word());
    const QByteArray checkBytes = in.Bytes(in.Word());
    const QByteArray treeBytes = in.Rest();

    QFile::remove(g_configPath);
    FormStateStore store;
    store.SetFile(g_configPath, 1);
    store.SetSection(Persist::kSection);
    g_list->clear();
    g_checkList->clear();
    g_tree->clear();

    // The stored texts as a hand-edited file would hold them: raw bytes, read as GB18030.
    store.WriteKeyBytes(ConfigTextStore::Encode(Persist::kSection), ConfigTextStore::Encode(kList), listBytes);
    store.WriteKeyBytes(ConfigTextStore::Encode(Persist::kSection), ConfigTextStore::Encode(kCheckList), checkBytes);
    if (flags & 1) {
        QFile side(store.SideFilePath(kTree + u".列表"_s));
        if (side.open(QIODevice::WriteOnly | QIODevice::Truncate))
            side.write(treeBytes);
    } else {
        QFile::remove(store.SideFilePath(kTree + u".列表"_s));
    }

    RestoreForm(store, g_window);
    const QString list = Saved(store, kList);
    const QString checkList = Saved(store, kCheckList);
    const QByteArray tree = store.ReadBytes(kTree + u".列表"_s);
    const QString listText = ConfigTextStore::Decode(listBytes);
    if (!listBytes.contains("\r\n") && !listText.isEmpty())
        FUZZ_CHECK(g_list->count() == listText.count(u"{H}"_s) + 1);

    // Once saved, a round trip changes nothing.
    RestoreForm(store, g_window);
    FUZZ_CHECK(Saved(store, kList) == list);
    FUZZ_CHECK(Saved(store, kCheckList) == checkList);
    FUZZ_CHECK(store.ReadBytes(kTree + u".列表"_s) == tree);
    return 0;
}
