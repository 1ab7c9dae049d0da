#include "store/config_text_store.h"
#include "store/form_state_store.h"
#include "store/persistence.h"
#include "support/test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>
#include <QThread>
#include <QtEndian>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

constexpr auto kDone = ConfigTextStore::WriteResult::Done;
constexpr auto kFailed = ConfigTextStore::WriteResult::Failed;

// The file bytes a text must become, from the reference converter rather than the store's own.
QByteArray Gbk(const QString& text)
{
    return QTextCodec::codecForName("GB18030")->fromUnicode(text);
}

// Two site lists of different lengths, so a torn file cannot pass for either.
const QString kListA = QString(200000, u'a');
const QString kListB = QString(150000, u'b') + u"中文𠀀"_s;
const QString kSiteKey = Persist::TagKey(Persist::kSiteListButton);

QByteArray CrashText(const QString& list)
{
    return Gbk(u"[主界面]\r\n"_s + kSiteKey + u'=' + list + u"\r\n编辑框线程数=5"_s);
}

// Child process of crashSafety: rewrites the site list and a side file until it is killed.
int RunCrashWriter(const QString& path)
{
    FormStateStore store;
    if (!store.SetFile(path, 0))
        return 2;
    store.SetSection(Persist::kSection);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    for (bool useB = true;; useB = !useB) {
        const QString& list = useB ? kListB : kListA;
        store.WriteText(kSiteKey, list);
        store.WriteBytes(u"blob"_s, Gbk(list));
    }
}

} // namespace

class TstConfigTextStore final : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void writesBuildTheTextFormat()
    {
        ConfigTextStore store;
        QCOMPARE(store.WriteKey(u"主界面"_s, u"a"_s, u"1"_s), kDone);
        QCOMPARE(store.Text(), Gbk(u"[主界面]\r\na=1"_s));
        QCOMPARE(store.WriteKey(u"主界面"_s, u"b"_s, u"2"_s), kDone);
        QCOMPARE(store.WriteKey(u"s2"_s, u"k"_s, u"v"_s), kDone);
        QCOMPARE(store.Text(), Gbk(u"[主界面]\r\na=1\r\nb=2\r\n[s2]\r\nk=v"_s));

        // A new key goes to the end of its section; a replaced one keeps its line.
        QCOMPARE(store.WriteKey(u"主界面"_s, u"c"_s, u"3"_s), kDone);
        QCOMPARE(store.WriteKey(u"主界面"_s, u"a"_s, u"long value"_s), kDone);
        QCOMPARE(store.Text(), Gbk(u"[主界面]\r\na=long value\r\nb=2\r\nc=3\r\n[s2]\r\nk=v"_s));

        // Empty value: the line stays "a=" and reads as empty, not as the default.
        QCOMPARE(store.WriteKey(u"主界面"_s, u"a"_s, QString()), kDone);
        QVERIFY(store.Text().startsWith(Gbk(u"[主界面]\r\na=\r\nb=2"_s)));
        QCOMPARE(store.ReadKey(u"主界面"_s, u"a"_s, u"dflt"_s), QString(u""_s));
        QCOMPARE(store.ReadKey(u"主界面"_s, u"a"_s, u"dflt"_s, true), u"dflt"_s);
        QCOMPARE(store.ReadKey(u"主界面"_s, u"nope"_s, u"dflt"_s), u"dflt"_s);

        // A line break in any part would forge lines; such writes are refused and change nothing.
        const QByteArray before = store.Text();
        QCOMPARE(store.WriteKey(u"主界面"_s, u"x"_s, u"1\r\n[evil]"_s), kFailed);
        QCOMPARE(store.WriteKey(u"主界面"_s, u"x\r\ny"_s, u"1"_s), kFailed);
        QCOMPARE(store.Text(), before);
    }

    void lookupsFollowTheHeaderRules()
    {
        const QString path = m_dir.filePath(u"lookups.ini"_s);
        QVERIFY(WriteFileBytes(path,
            Gbk(u"x[主界面]\r\nfake=1\r\n[主界面]\r\n[s2]\r\na=behind\r\n[Case]\r\nA=upper\r\na=lower\r\n"
                "eq=b=c\r\nA=second\r\n[case]\r\nA=other"_s)));
        ConfigTextStore store;
        QVERIFY(store.Open(path, true));
        // "x[主界面]" is no header; the real one has no keys, and "a" lies behind [s2].
        QCOMPARE(store.ReadKey(u"主界面"_s, u"fake"_s, u"d"_s), u"d"_s);
        QCOMPARE(store.ReadKey(u"主界面"_s, u"a"_s, u"d"_s), u"d"_s);
        QCOMPARE(store.ReadKey(u"s2"_s, u"a"_s), u"behind"_s);
        QCOMPARE(store.ReadKey(u"Case"_s, u"A"_s), u"upper"_s); // first duplicate wins
        QCOMPARE(store.ReadKey(u"Case"_s, u"a"_s), u"lower"_s);
        QCOMPARE(store.ReadKey(u"case"_s, u"A"_s), u"other"_s);
        QCOMPARE(store.ReadKey(u"Case"_s, u"eq"_s), u"b=c"_s);

        // Writing into the empty section puts the key before [s2], not after the fake header.
        QCOMPARE(store.WriteKey(u"主界面"_s, u"a"_s, u"mine"_s), kDone);
        QVERIFY(store.Text().startsWith(Gbk(u"x[主界面]\r\nfake=1\r\n[主界面]\r\na=mine\r\n[s2]\r\na=behind"_s)));
        QCOMPARE(store.ReadKey(u"主界面"_s, u"a"_s), u"mine"_s);

        // 1-based positions; a "[" line without "]" and a header split by a line break are no headers.
        QVERIFY(WriteFileBytes(path, "k=1\r\n[broken\r\n[a\r\nb]\r\n[ok]\r\nz=1"));
        QVERIFY(store.Reload());
        QCOMPARE(store.FindSectionHeader(1, 100), 23);
        QCOMPARE(store.FindSectionHeader(1, 24), -1);
        QCOMPARE(store.FindSectionHeader(24, 100), -1);
    }

    void writeDuringWriteIsQueued()
    {
        ConfigTextStore store;
        QList<ConfigTextStore::WriteResult> nested;
        bool inside = false;
        store.SetPumpHook([&] {
            if (inside || !nested.isEmpty())
                return;
            inside = true;
            nested << store.WriteKey(u"s"_s, u"k"_s, u"second"_s) << store.WriteKey(u"s"_s, u"n"_s, u"third"_s);
            inside = false;
        });
        QCOMPARE(store.RunQueue(), kFailed);
        QCOMPARE(store.WriteKey(u"s"_s, u"k"_s, u"first"_s), kDone);
        QCOMPARE(nested, (QList { ConfigTextStore::WriteResult::Queued, ConfigTextStore::WriteResult::Queued }));
        // Both landed right after the running write, in the order they were asked for.
        QCOMPARE(store.Text(), QByteArray("[s]\r\nk=second\r\nn=third"));
    }

    void liveFileIsHeldAndMirrored()
    {
        const QString path = m_dir.filePath(u"live.ini"_s);
        ConfigTextStore first;
        QVERIFY(first.Open(path));
        QVERIFY(QFile::exists(path)); // created empty
        QCOMPARE(first.WriteKey(u"主界面"_s, u"a"_s, u"1"_s), kDone);
        QCOMPARE(FileBytes(path), first.Text());

        // A second store, even in the same process, cannot take the file and works on its own copy.
        ConfigTextStore second;
        QVERIFY(!second.Open(path));
        QCOMPARE(second.Text(), first.Text());
        QCOMPARE(second.WriteKey(u"主界面"_s, u"b"_s, u"2"_s), kDone);
        QCOMPARE(FileBytes(path), first.Text());
        QVERIFY(!second.Save());
        QVERIFY(first.Save());
        QCOMPARE(FileBytes(path), first.Text());

        // Unchanged values leave the file alone; a batch replaces it once, at its end.
        const ino_t before = FileInode(path);
        QCOMPARE(first.WriteKey(u"主界面"_s, u"a"_s, u"1"_s), kDone);
        QCOMPARE(FileInode(path), before);
        first.BeginBatch();
        QCOMPARE(first.WriteKey(u"主界面"_s, u"c"_s, u"3"_s), kDone);
        QCOMPARE(first.WriteKey(u"主界面"_s, u"d"_s, u"4"_s), kDone);
        QCOMPARE(FileInode(path), before);
        first.EndBatch();
        QCOMPARE(FileBytes(path), QByteArray(Gbk(u"[主界面]\r\na=1\r\nc=3\r\nd=4"_s)));

        first.Close();
        QVERIFY(first.Text().isEmpty());
        QVERIFY(second.Open(path));
        QCOMPARE(second.ReadKey(u"主界面"_s, u"d"_s), u"4"_s);
    }

    void failedWritesAreReportedOnce()
    {
        const QString path = m_dir.filePath(u"fail.ini"_s);
        QStringList reports;
        const auto hook = [&reports](const QString& text, bool warning) {
            if (warning)
                reports.append(text);
        };
        ConfigTextStore store;
        store.SetMessageHook(hook);
        QVERIFY(store.Open(path));
        // A file another program holds is no failure.
        ConfigTextStore busy;
        busy.SetMessageHook(hook);
        QVERIFY(!busy.Open(path));
        QVERIFY(reports.isEmpty());

        // A directory in the file's place defeats the replace: every write fails, one report.
        QVERIFY(QFile::remove(path) && QDir().mkdir(path));
        for (int i = 0; i < 3; ++i)
            store.WriteKey(u"主界面"_s, u"k"_s, QString::number(i));
        QCOMPARE(reports.size(), 1);
        QVERIFY(reports.first().contains(path));
        // A successful write re-arms the report.
        QVERIFY(QDir().rmdir(path));
        QCOMPARE(store.WriteKey(u"主界面"_s, u"k"_s, u"ok"_s), kDone);
        QCOMPARE(FileBytes(path), store.Text());
        QVERIFY(QFile::remove(path) && QDir().mkdir(path));
        store.WriteKey(u"主界面"_s, u"k"_s, u"again"_s);
        QCOMPARE(reports.size(), 2);
        QVERIFY(QDir().rmdir(path));

        // A folder that does not exist: reported when the file is opened.
        ConfigTextStore nowhere;
        nowhere.SetMessageHook(hook);
        QVERIFY(!nowhere.Open(m_dir.filePath(u"missing/x.ini"_s)));
        QCOMPARE(reports.size(), 3);
    }

    void foreignBytesSurviveWrites()
    {
        // GBK-era text, an unknown section with bytes that are not GB18030, a header without "]",
        // lone LFs and a key containing "=": all of it must come back byte for byte.
        QByteArray original = FileBytes(QStringLiteral(PATROL_TEST_DATA_DIR "/store/legacy_gbk.ini"));
        QVERIFY(!original.isEmpty());
        const QString path = m_dir.filePath(u"legacy.ini"_s);
        QVERIFY(WriteFileBytes(path, original));

        ConfigTextStore store;
        QVERIFY(store.Open(path));
        QCOMPARE(store.ReadKey(u"主界面"_s, u"编辑框线程数"_s), u"8"_s);
        QCOMPARE(store.ReadKey(u"主界面"_s, u"a=b"_s), u"c"_s);
        QCOMPARE(store.WriteKey(u"主界面"_s, u"编辑框线程数"_s, u"12"_s), kDone);
        QCOMPARE(store.WriteKey(u"新节"_s, u"字"_s, u"𠀀┊"_s), kDone);
        original.replace(Gbk(u"编辑框线程数=8"_s), Gbk(u"编辑框线程数=12"_s));
        QCOMPARE(FileBytes(path), original + Gbk(u"\r\n[新节]\r\n字=𠀀┊"_s));

        // Characters outside GBK are kept as four-byte GB18030 and read back whole.
        QVERIFY(FileBytes(path).endsWith(QByteArray("\x95\x32\x82\x36\xa9\xae")));
        QVERIFY(store.Reload());
        QCOMPARE(store.ReadKey(u"新节"_s, u"字"_s), u"𠀀┊"_s);
        // The fast encoder agrees with the converter on every character it might meet.
        QString everyChar = u"a𠀀b"_s;
        for (char32_t c = 0x80; c < 0x10000; ++c) {
            if (!QChar::isSurrogate(c) && c != U'€') // GBK's euro sign: see gbkEuroRoundTrips
                everyChar += QChar(char16_t(c));
        }
        everyChar += QChar(char16_t(0xd800)) + u"x"_s; // unpaired surrogate
        QCOMPARE(ConfigTextStore::Encode(everyChar), QTextCodec::codecForName("GB18030")->fromUnicode(everyChar));

        // Pure binary, 20 MB of it: loads, takes a write at its end, keeps every byte.
        QByteArray binary(20 * 1024 * 1024, '\0');
        auto* random = QRandomGenerator::global();
        for (qsizetype i = 0; i < binary.size(); i += 4)
            qToUnaligned(random->generate(), binary.data() + i);
        QVERIFY(WriteFileBytes(path, binary));
        QVERIFY(store.Open(path));
        QCOMPARE(store.WriteKey(u"主界面"_s, u"k"_s, u"v"_s), kDone);
        const QByteArray after = FileBytes(path);
        QCOMPARE(after.size(), binary.size() + Gbk(u"\r\n[主界面]\r\nk=v"_s).size());
        QVERIFY(after.startsWith(binary));
    }

    // Links planted at the temporary's or the lock's name are never followed; their targets stay as they were.
    void plantedLinksAreNotFollowed()
    {
        const QString path = m_dir.filePath(u"planted.ini"_s);
        const QString victim = m_dir.filePath(u"victim"_s);
        QVERIFY(WriteFileBytes(victim, "precious"));
        QVERIFY(QFile::link(victim, path + u".tmp"_s));
        ConfigTextStore store;
        QVERIFY(store.Open(path));
        QCOMPARE(store.WriteKey(u"主界面"_s, u"a"_s, u"1"_s), kDone);
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(FileBytes(path), Gbk(u"[主界面]\r\na=1"_s));
        QCOMPARE(FileBytes(victim), QByteArray("precious"));
        store.Close();

        // A dangling link at the lock's name would have created its target.
        const QString locked = m_dir.filePath(u"locked.ini"_s);
        const QString absent = m_dir.filePath(u"absent"_s);
        QVERIFY(QFile::link(absent, locked + u".lock"_s));
        QVERIFY(!store.Open(locked));
        QVERIFY(!QFile::exists(absent));
    }

    // A linked ini is written through to its target, which keeps its mode; a dangling link creates its target.
    void symlinkedIniWritesThrough()
    {
        QDir dir(m_dir.filePath(u"linked"_s));
        QVERIFY(dir.mkpath(u"."_s));
        const QString link = dir.filePath(u"link.ini"_s);
        const QString target = dir.filePath(u"real.ini"_s);
        QVERIFY(WriteFileBytes(target, Gbk(u"[主界面]"_s)));
        QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(QFile::link(u"real.ini"_s, link));
        ConfigTextStore store;
        QVERIFY(store.Open(link));
        QCOMPARE(store.WriteKey(u"主界面"_s, u"a"_s, u"1"_s), kDone);
        store.Close();
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(FileBytes(target), Gbk(u"[主界面]\r\na=1"_s));
        QCOMPARE(QFile::permissions(target), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

        QVERIFY(QFile::remove(target));
        QVERIFY(store.Open(link));
        QCOMPARE(store.WriteKey(u"主界面"_s, u"b"_s, u"2"_s), kDone);
        store.Close();
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(FileBytes(target), Gbk(u"[主界面]\r\nb=2"_s));
        QCOMPARE(dir.entryList(QDir::Files | QDir::System | QDir::Hidden),
            QStringList({ u"link.ini"_s, u"real.ini"_s, u"real.ini.lock"_s }));
    }

    // GBK's one-byte euro sign (0x80, unknown to GB18030) survives a save; a 0x80 trail byte stays a trail byte.
    void gbkEuroRoundTrips()
    {
        const QString path = m_dir.filePath(u"euro.ini"_s);
        const QByteArray original = Gbk(u"[主界面]\r\n编辑框网页内容="_s)
            + "\x80"
              "5|\x81\x80\x80\r\nx=1";
        QVERIFY(WriteFileBytes(path, original));
        ConfigTextStore store;
        QVERIFY(store.Open(path));
        const QString content = store.ReadKey(u"主界面"_s, u"编辑框网页内容"_s);
        QCOMPARE(content, u"€5|亐€"_s);
        QCOMPARE(store.WriteKey(u"主界面"_s, u"x"_s, u"2"_s), kDone);
        QCOMPARE(store.WriteKey(u"主界面"_s, u"编辑框网页内容"_s, u"x"_s), kDone);
        QCOMPARE(store.WriteKey(u"主界面"_s, u"编辑框网页内容"_s, content), kDone);
        QByteArray expected = original;
        QCOMPARE(FileBytes(path), expected.replace("x=1", "x=2"));
    }

    void typedValues()
    {
        // Numbers are read as their leading decimal, as the file's older readers took them.
        QCOMPARE(FormStateStore::ParseNumber(" -12.5abc"), -12.5);
        QCOMPARE(FormStateStore::ParseNumber("2.5e2x"), 250.0);
        QCOMPARE(FormStateStore::ParseNumber("e5"), 0.0);
        QCOMPARE(FormStateStore::ParseNumber("1e999"), 0.0);
    }

    void configPathRule()
    {
        // A portable copy keeps the file beside itself; --config wins over any rule.
        const QString folder = m_dir.path();
        const QString beside = folder + u"/岚澈·巡更灯.ini"_s;
        QCOMPARE(Persist::ConfigFilePath({ u"patrol-lamp"_s }, folder), beside);
        QCOMPARE(
            Persist::ConfigFilePath({ u"patrol-lamp"_s, u"--config"_s, u"/tmp/x.ini"_s }, folder), u"/tmp/x.ini"_s);
        QCOMPARE(Persist::ConfigFilePath({ u"patrol-lamp"_s, u"--config=/tmp/y.ini"_s }, folder), u"/tmp/y.ini"_s);
        // A dangling option falls back to the default rather than to an empty path.
        QCOMPARE(Persist::ConfigFilePath({ u"patrol-lamp"_s, u"--config"_s }, folder), beside);
        QCOMPARE(Persist::DataFolder(folder), folder);

        // An installed copy: a folder it cannot write, or a system folder that root could.
        qputenv("XDG_CONFIG_HOME", "/home/u/cfg");
        qputenv("XDG_DATA_HOME", "/home/u/data/");
        QCOMPARE(Persist::DefaultConfigPath(folder, false), u"/home/u/cfg/patrol-lamp/岚澈·巡更灯.ini"_s);
        QCOMPARE(Persist::DataFolder(folder, false), u"/home/u/data/patrol-lamp"_s);
        QCOMPARE(Persist::DefaultConfigPath(u"/usr/bin"_s, true), u"/home/u/cfg/patrol-lamp/岚澈·巡更灯.ini"_s);
        QCOMPARE(Persist::DefaultConfigPath(u"/nonexistent/bin"_s), u"/home/u/cfg/patrol-lamp/岚澈·巡更灯.ini"_s);
        // Unset, empty or relative variables fall back to the home folder's defaults.
        qputenv("XDG_CONFIG_HOME", "relative/cfg");
        qunsetenv("XDG_DATA_HOME");
        QCOMPARE(
            Persist::DefaultConfigPath(folder, false), QDir::homePath() + u"/.config/patrol-lamp/岚澈·巡更灯.ini"_s);
        QCOMPARE(Persist::DataFolder(folder, false), QDir::homePath() + u"/.local/share/patrol-lamp"_s);
        qunsetenv("XDG_CONFIG_HOME");
    }

    void crashSafety()
    {
        const QString path = m_dir.filePath(u"crash.ini"_s);
        const QString side = m_dir.filePath(u"inibin/主界面-blob.ibn"_s);
        QVERIFY(WriteFileBytes(path, CrashText(kListA)));
        QVERIFY(QDir().mkpath(m_dir.filePath(u"inibin"_s)));
        QVERIFY(WriteFileBytes(side, Gbk(kListA)));

        auto* random = QRandomGenerator::global();
        int changes = 0;
        QByteArray last = CrashText(kListA);
        for (int round = 0; round < 50; ++round) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(), { u"--crash-writer"_s, path });
            QVERIFY(child.waitForStarted(10000));
            QVERIFY2(child.waitForReadyRead(20000), "writer did not get the live file");
            if (round == 0) {
                ConfigTextStore other;
                QVERIFY(!other.Open(path));
            }
            QThread::msleep(random->bounded(1, 40));
            child.kill();
            QVERIFY(child.waitForFinished(20000));

            const QByteArray text = FileBytes(path);
            QVERIFY2(text == CrashText(kListA) || text == CrashText(kListB),
                qPrintable(u"torn file in round %1, %2 bytes"_s.arg(round).arg(text.size())));
            const QByteArray blob = FileBytes(side);
            QVERIFY2(
                blob == Gbk(kListA) || blob == Gbk(kListB), qPrintable(u"torn side file in round %1"_s.arg(round)));
            changes += text != last;
            last = text;
        }
        qInfo("file changed between %d of 50 kills", changes);
        ConfigTextStore after;
        QVERIFY(after.Open(path)); // the killed writers' locks are gone
    }

private:
    QTemporaryDir m_dir;
};

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--crash-writer") == 0) {
        QCoreApplication app(argc, argv);
        return RunCrashWriter(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    TstConfigTextStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_config_text_store.moc"
