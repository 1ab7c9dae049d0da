// End-to-end runs of `patrol-lamp --headless` against loopback servers.

#include "store/persistence.h"
#include "support/loopback_server.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

constexpr int kRunTimeoutMs = 120000;

struct RunResult
{
    bool finished = false;
    int exitCode = -1;
    QList<QByteArray> lines; // stdout, one per check
    QString err;
};

RunResult Collect(QProcess& process)
{
    RunResult result;
    result.finished = process.waitForFinished(kRunTimeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    const QByteArray out = process.readAllStandardOutput();
    for (const QByteArray& line : out.split('\n')) {
        if (!line.isEmpty())
            result.lines.append(line);
    }
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

RunResult RunHeadless(const QStringList& arguments)
{
    QProcess process;
    process.setProgram(QStringLiteral(PATROL_BINARY));
    process.setArguments(QStringList { u"--headless"_s } + arguments);
    process.start();
    if (!process.waitForStarted(30000))
        return {};
    return Collect(process);
}

QByteArray Gb18030(const QString& text)
{
    return QTextCodec::codecForName("GB18030")->fromUnicode(text);
}

} // namespace

class TestHeadless final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void tsvLinesForEveryCheckOfEveryPass();
    void jsonlLinesAndAbnormalExitStatus();
    void windowWrittenConfigurationRunsUnchanged();
    void stopSignalFinishesRunningChecks_data();
    void stopSignalFinishesRunningChecks();
    void badInputExitsThreeWithMessage_data();
    void badInputExitsThreeWithMessage();
    void serviceStopExitsZeroWithAbnormalSites_data();
    void serviceStopExitsZeroWithAbnormalSites();
    void historyGoesToTheStateDirectory();

private:
    QTemporaryDir m_dir;
    QString m_emptyConfig;
};

void TestHeadless::init()
{
    QVERIFY(m_dir.isValid());
    m_emptyConfig = m_dir.filePath(u"empty.ini"_s);
    QVERIFY(WriteFileBytes(m_emptyConfig, {}));
}

void TestHeadless::tsvLinesForEveryCheckOfEveryPass()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    // LF and CR LF lines, a blank line and padding: three sites.
    const QString sites = m_dir.filePath(u"sites.txt"_s);
    QVERIFY(WriteFileBytes(sites,
        (server.Url(u"/a"_s) + u"\n\n  "_s + server.Url(u"/b"_s) + u"  \r\n"_s + server.Url(u"/c"_s) + u"\n"_s)
            .toUtf8()));

    const QStringList urls { server.Url(u"/a"_s), server.Url(u"/b"_s), server.Url(u"/c"_s) };
    // A row whose check still runs is skipped by the next pass; the interval lets the first pass's checks end.
    const RunResult run = RunHeadless({ u"--config"_s, m_emptyConfig, u"--sites"_s, sites, u"--passes"_s, u"2"_s,
        u"--interval"_s, u"1"_s, u"--threads"_s, u"2"_s });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.size(), 6);
    QMap<int, QList<int>> rowsByPass;
    for (const QByteArray& line : run.lines) {
        const QStringList fields = QString::fromUtf8(line).split(u'\t');
        QCOMPARE(fields.size(), 7);
        rowsByPass[fields[0].toInt()].append(fields[1].toInt());
        QCOMPARE(fields[2], urls.value(fields[1].toInt()));
        QCOMPARE(fields[3], u"正常"_s);
        QVERIFY2(fields[4].startsWith(u"200|"_s), qPrintable(fields[4]));
        QCOMPARE(fields[5], u"无查询"_s);
        QVERIFY(!fields[6].isEmpty());
    }
    QCOMPARE(rowsByPass.keys(), (QList<int> { 1, 2 }));
    for (QList<int> rows : rowsByPass) {
        std::sort(rows.begin(), rows.end());
        QCOMPARE(rows, (QList<int> { 0, 1, 2 }));
    }
    QCOMPARE(run.err.count(u"遍完成"_s), 2);
    QVERIFY2(run.err.contains(u"监控停止！"_s), qPrintable(run.err));
    QCOMPARE(server.RequestCount(), 6);
}

void TestHeadless::jsonlLinesAndAbnormalExitStatus()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.Route("/gone", LoopbackResponse::Status(404, "no"));
    const QString sites = m_dir.filePath(u"sites.txt"_s);
    QVERIFY(WriteFileBytes(sites, (server.Url(u"/fine"_s) + u"\n"_s + server.Url(u"/gone"_s) + u"\n"_s).toUtf8()));

    const RunResult run = RunHeadless(
        { u"--config"_s, m_emptyConfig, u"--sites"_s, sites, u"--passes"_s, u"1"_s, u"--format"_s, u"jsonl"_s });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.lines.size(), 2);
    const QStringList keys { u"cert_expires"_s, u"elapsed_ms"_s, u"found"_s, u"found_text"_s, u"normal"_s, u"pass"_s,
        u"reason"_s, u"response_time"_s, u"row"_s, u"status"_s, u"status_text"_s, u"url"_s };
    for (const QByteArray& line : run.lines) {
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(line, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(object.keys(), keys);
        QCOMPARE(object.value(u"pass"_s).toInt(), 1);
        QVERIFY(object.value(u"cert_expires"_s).isNull());
        QCOMPARE(object.value(u"found"_s).toInt(), 0);
        QCOMPARE(object.value(u"found_text"_s).toString(), u"无查询"_s);
        QVERIFY(object.value(u"elapsed_ms"_s).toInteger(-1) >= 0);
        const bool gone = object.value(u"row"_s).toInt() == 1;
        QCOMPARE(object.value(u"url"_s).toString(), server.Url(gone ? u"/gone"_s : u"/fine"_s));
        QCOMPARE(object.value(u"normal"_s).toBool(), !gone);
        QCOMPARE(object.value(u"status"_s).toInt(), gone ? 404 : 200);
        QVERIFY(object.value(u"status_text"_s).toString().startsWith(gone ? u"404|"_s : u"200|"_s));
        QCOMPARE(object.value(u"reason"_s), gone ? QJsonValue(u"状态码不符合条件"_s) : QJsonValue(QJsonValue::Null));
    }
    QVERIFY2(run.err.contains(u"不正常 1 个"_s), qPrintable(run.err));
}

void TestHeadless::windowWrittenConfigurationRunsUnchanged()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.Route(
        "/with", LoopbackResponse::Ok("<html><body>patrol 巡更灯 lamp</body></html>", "text/html; charset=utf-8"));
    server.Route(
        "/without", LoopbackResponse::Ok("<html><body>nothing here</body></html>", "text/html; charset=utf-8"));
    // As the window stores it: GB18030, CR LF, the list folded onto one line, 真/假 for the boxes.
    const QString config = m_dir.filePath(Persist::ConfigFileName());
    const QByteArray bytes
        = Gb18030(u"[主界面]\r\n编辑框状态码=200\r\n选择框按状态码=假\r\n选择框取反状态码=假\r\n"
                  "选择框按网页内容=真\r\n编辑框网页内容=不会出现|巡更灯\r\n选择框取反网页内容=假\r\n"
                  "编辑框超时秒=5\r\n编辑框线程数=2\r\n编辑框间隔秒=0\r\n按钮输入网站列表.标记="_s
            + server.Url(u"/with"_s) + u"┊*┊"_s + server.Url(u"/without"_s) + u"\r\n"_s);
    QVERIFY(WriteFileBytes(config, bytes));

    RunResult run = RunHeadless({ u"--config"_s, config, u"--passes"_s, u"1"_s });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.lines.size(), 2);
    for (const QByteArray& line : run.lines) {
        const QStringList fields = QString::fromUtf8(line).split(u'\t');
        QCOMPARE(fields.size(), 7);
        QCOMPARE(fields[4], u"无查询"_s); // the status box is off
        if (fields[1] == u"0"_s) {
            QCOMPARE(fields[3], u"正常"_s);
            QVERIFY2(fields[5].toInt() > 0, qPrintable(fields[5]));
        } else {
            QCOMPARE(fields[3], u"不正常"_s);
            QCOMPARE(fields[5], u"找不到"_s);
        }
    }

    // Options override the file for this run only; the file stays as the window wrote it.
    run = RunHeadless({ u"--config"_s, config, u"--passes"_s, u"1"_s, u"--content"_s, u"nothing|lamp"_s,
        u"--status-codes"_s, u"200"_s, u"--format"_s, u"jsonl"_s });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.size(), 2);
    for (const QByteArray& line : run.lines)
        QVERIFY(QJsonDocument::fromJson(line).object().value(u"status_text"_s).toString().startsWith(u"200|"_s));
    QFile file(config);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
}

void TestHeadless::stopSignalFinishesRunningChecks_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("twice");
    QTest::newRow("SIGINT") << SIGINT << false;
    QTest::newRow("SIGTERM") << SIGTERM << false;
    QTest::newRow("SIGINT twice") << SIGINT << true;
}

void TestHeadless::stopSignalFinishesRunningChecks()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, twice);
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.SetDefault(LoopbackResponse::Ok("slow").Delay(1500));
    QString list;
    for (int i = 0; i < 30; ++i)
        list += server.Url(u"/s%1"_s.arg(i)) + u"\n"_s;
    const QString sites = m_dir.filePath(u"sites.txt"_s);
    QVERIFY(WriteFileBytes(sites, list.toUtf8()));

    QProcess process;
    process.setProgram(QStringLiteral(PATROL_BINARY));
    process.setArguments({ u"--headless"_s, u"--config"_s, m_emptyConfig, u"--sites"_s, sites, u"--threads"_s, u"3"_s,
        u"--interval"_s, u"0"_s });
    process.start();
    QVERIFY(process.waitForStarted(30000));
    QVERIFY(server.WaitForRequests(3, 60000));
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), signalNumber), 0);
    if (twice) {
        // The second interrupt does not wait for the checks under way.
        process.setReadChannel(QProcess::StandardError);
        QByteArray err;
        while (!err.contains("正在停止") && process.waitForReadyRead(30000))
            err += process.readAllStandardError();
        QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGINT), 0);
        const RunResult run = Collect(process);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.err.contains(u"立即退出"_s), qPrintable(run.err));
        return;
    }
    const RunResult run = Collect(process);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.contains(u"监控停止！"_s), qPrintable(run.err));
    // The checks under way when the signal came were finished and reported; no new ones were started.
    QVERIFY2(run.lines.size() >= 3 && run.lines.size() < 30, QByteArray::number(run.lines.size()));
    QCOMPARE(run.lines.size(), server.RequestCount());
}

void TestHeadless::badInputExitsThreeWithMessage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList { u"--frobnicate"_s } << u"--frobnicate"_s;
    QTest::newRow("threads not a number") << QStringList { u"--threads"_s, u"abc"_s } << u"--threads"_s;
    QTest::newRow("threads zero") << QStringList { u"--threads=0"_s } << u"--threads"_s;
    QTest::newRow("missing value") << QStringList { u"--passes"_s } << u"--passes"_s;
    QTest::newRow("unknown format") << QStringList { u"--format"_s, u"xml"_s } << u"xml"_s;
    QTest::newRow("missing site file") << QStringList { u"--sites"_s, u"/nonexistent/sites.txt"_s }
                                       << u"/nonexistent/sites.txt"_s;
    QTest::newRow("missing config") << QStringList { u"--config"_s, u"/nonexistent/x.ini"_s }
                                    << u"/nonexistent/x.ini"_s;
    QTest::newRow("empty stored list") << QStringList { u"--config"_s, u"EMPTYLIST"_s }
                                       << u"请先输入要监控的网站地址列表！"_s;
    QTest::newRow("blank site file") << QStringList { u"--sites"_s, u"BLANK"_s } << u"请先输入要监控的网站地址列表！"_s;
    QTest::newRow("stored thread count") << QStringList { u"--config"_s, u"BADCONFIG"_s } << u"线程数"_s;
}

void TestHeadless::badInputExitsThreeWithMessage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const QString blank = m_dir.filePath(u"blank.txt"_s);
    QVERIFY(WriteFileBytes(blank, " \r\n\r\n\xA1\xA1\n")); // spaces and a GB18030 full-width space
    const QString badConfig = m_dir.filePath(u"bad.ini"_s);
    QVERIFY(WriteFileBytes(
        badConfig, Gb18030(u"[主界面]\r\n编辑框线程数=abc\r\n按钮输入网站列表.标记=http://127.0.0.1:1/"_s)));
    arguments.replaceInStrings(u"BLANK"_s, blank);
    const QString emptyList = m_dir.filePath(u"empty-list.ini"_s);
    QVERIFY(WriteFileBytes(emptyList, Gb18030(u"[主界面]\r\n按钮输入网站列表.标记="_s)));
    arguments.replaceInStrings(u"BADCONFIG"_s, badConfig);
    arguments.replaceInStrings(u"EMPTYLIST"_s, emptyList);
    if (!arguments.contains(u"--config"_s))
        arguments << u"--config"_s << m_emptyConfig;

    const RunResult run = RunHeadless(arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 3);
    QVERIFY(run.lines.isEmpty());
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
}

void TestHeadless::serviceStopExitsZeroWithAbnormalSites_data()
{
    QTest::addColumn<QStringList>("passes");
    QTest::addColumn<int>("exitCode");
    // A service manager's stop is not a failure; a run asked for N passes still tells whether sites were down.
    QTest::newRow("until stopped") << QStringList {} << 0;
    QTest::newRow("--passes N") << QStringList { u"--passes"_s, u"1000"_s } << 2;
}

void TestHeadless::serviceStopExitsZeroWithAbnormalSites()
{
    QFETCH(QStringList, passes);
    QFETCH(int, exitCode);
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.SetDefault(LoopbackResponse::Status(404, "no"));
    const QString sites = m_dir.filePath(u"sites.txt"_s);
    QVERIFY(WriteFileBytes(sites, (server.Url(u"/gone"_s) + u"\n"_s).toUtf8()));

    QProcess process;
    process.setProgram(QStringLiteral(PATROL_BINARY));
    process.setArguments(QStringList { u"--headless"_s, u"--config"_s, m_emptyConfig, u"--sites"_s, sites,
                             u"--interval"_s, u"1"_s, u"--no-history"_s }
        + passes);
    process.start();
    QVERIFY(process.waitForStarted(30000));
    process.setReadChannel(QProcess::StandardError);
    QByteArray err;
    while (!err.contains("不正常 1 个") && process.waitForReadyRead(30000))
        err += process.readAllStandardError();
    QVERIFY2(err.contains("不正常 1 个"), err.constData());
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGTERM), 0);
    const RunResult run = Collect(process);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
}

void TestHeadless::historyGoesToTheStateDirectory()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    const QString sites = m_dir.filePath(u"sites.txt"_s);
    QVERIFY(WriteFileBytes(sites, (server.Url(u"/a"_s) + u"\n"_s).toUtf8()));
    const QString blocker = m_dir.filePath(u"not-a-folder"_s);
    QVERIFY(WriteFileBytes(blocker, "x"));
    // A configuration of its own: other runs leave their history beside the shared one.
    QVERIFY(QDir(m_dir.path()).mkpath(u"own"_s));
    const QString config = m_dir.filePath(u"own/empty.ini"_s);
    QVERIFY(WriteFileBytes(config, {}));

    for (const QString& stateDir : { m_dir.filePath(u"state/new/folder"_s), blocker + u"/state"_s }) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"STATE_DIRECTORY"_s, stateDir);
        process.setProcessEnvironment(env);
        process.setProgram(QStringLiteral(PATROL_BINARY));
        process.setArguments({ u"--headless"_s, u"--config"_s, config, u"--sites"_s, sites, u"--passes"_s, u"1"_s });
        process.start();
        QVERIFY(process.waitForStarted(30000));
        const RunResult run = Collect(process);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!QFile::exists(m_dir.filePath(u"own/empty.history.sqlite"_s)));
        if (stateDir.startsWith(blocker)) {
            // Said once, before the run, even when the run is too short for the writer to report.
            QCOMPARE(run.err.count(u"历史记录不可用"_s), 1);
            QVERIFY2(run.err.contains(blocker), qPrintable(run.err));
        } else {
            QVERIFY2(QFileInfo(stateDir + u"/history.sqlite"_s).size() > 0, qPrintable(run.err));
            QVERIFY2(!run.err.contains(u"历史记录"_s), qPrintable(run.err));
        }
    }
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
