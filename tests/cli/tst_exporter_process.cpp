// The exporter as a service manager and a scraper see it: health and readiness, gzip, process metrics, the
// since-times kept over a restart, and SIGHUP re-reading the list — all against the real program.

#include "support/loopback_server.h"
#include "support/test_files.h"

#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <csignal>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

struct HttpReply
{
    int status = 0;
    QByteArray head; // lower case
    QByteArray body;
};

HttpReply Get(quint16 port, const QByteArray& method, const QByteArray& path, const QByteArray& extra = {})
{
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(method + ' ' + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extra + "\r\n");
    QByteArray data;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        data += socket.readAll();
    data += socket.readAll();
    const qsizetype end = data.indexOf("\r\n\r\n");
    if (end < 0)
        return {};
    HttpReply reply;
    reply.head = data.left(end).toLower();
    reply.status = reply.head.mid(9, 3).toInt();
    reply.body = data.mid(end + 4);
    return reply;
}

QByteArray Gunzip(const QByteArray& data)
{
    z_stream stream {};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return {};
    QByteArray out;
    char buffer[65536];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END ? out : QByteArray("<not gzip>");
}

// The window's configuration file is GB18030.
QByteArray TimeoutConfig(int seconds)
{
    return QTextCodec::codecForName("GB18030")->fromUnicode(u"[主界面]\r\n编辑框超时秒=%1\r\n"_s.arg(seconds));
}

// The value of the first sample line starting with the prefix, or -1.
double Sample(const QByteArray& page, const QByteArray& prefix)
{
    for (const QByteArray& line : page.split('\n')) {
        if (line.startsWith(prefix) && line.size() > prefix.size()
            && (line[prefix.size()] == ' ' || prefix.endsWith('}')))
            return line.mid(line.lastIndexOf(' ') + 1).toDouble();
    }
    return -1;
}

// The program under test with its stderr collected; the metrics port is read from its first message.
class Exporter
{
public:
    explicit Exporter(const QStringList& arguments)
    {
        m_process.setProgram(QStringLiteral(PATROL_BINARY));
        m_process.setArguments(QStringList { u"--headless"_s, u"--listen"_s, u"127.0.0.1:0"_s } + arguments);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start();
        if (WaitFor(u"指标："_s))
            m_port = quint16(QRegularExpression(u":(\\d+)/metrics"_s).match(m_err).captured(1).toUInt());
    }
    ~Exporter()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Waits for the text to appear in stderr after what was seen already; false after 60 s.
    bool WaitFor(const QString& text)
    {
        for (int i = 0; i < 600; ++i) {
            m_err += QString::fromUtf8(m_process.readAllStandardError());
            const qsizetype at = m_err.indexOf(text, m_seen);
            if (at >= 0) {
                m_seen = at + text.size();
                return true;
            }
            if (m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(100);
        }
        return false;
    }
    void Signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    int Stop()
    {
        Signal(SIGTERM);
        return Finish();
    }
    int Finish()
    {
        m_process.waitForFinished(60000);
        m_err += QString::fromUtf8(m_process.readAllStandardError());
        const int code = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        if (code != 0 && code != 2) // a crash or a sanitizer's report: show what it said
            qWarning("%s", qPrintable(m_err.right(8000)));
        return code;
    }
    quint16 Port() const { return m_port; }
    QString Err() const { return m_err; }

private:
    QProcess m_process;
    QString m_err;
    qsizetype m_seen = 0;
    quint16 m_port = 0;
};

} // namespace

class TestExporterProcess final : public QObject
{
    Q_OBJECT

private slots:
    void endpointsOfARealRun();
    void sighupReloadsTheListKeepingTheSitesThatStay();

private:
    QTemporaryDir m_dir;
};

void TestExporterProcess::endpointsOfARealRun()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.SetDefault(LoopbackResponse::Status(404, "gone"));
    const QString sites = m_dir.filePath(u"sites.txt"_s);
    const QByteArray down = server.Url(u"/down"_s).toUtf8();
    QVERIFY(WriteFileBytes(sites, down + '\n'));
    QVERIFY(WriteFileBytes(m_dir.filePath(u"empty.ini"_s), {}));
    const QString history = m_dir.filePath(u"history.sqlite"_s);
    const QStringList common
        = { u"--config"_s, m_dir.filePath(u"empty.ini"_s), u"--sites"_s, sites, u"--history"_s, history };

    // A first life of the service records the site as down.
    {
        Exporter first(common + QStringList { u"--passes"_s, u"1"_s });
        QCOMPARE(first.Finish(), 2);
    }
    QTest::qWait(1100); // the second life starts in a later second
    Exporter exporter(common + QStringList { u"--interval"_s, u"1"_s });
    QVERIFY2(exporter.Port() != 0, qPrintable(exporter.Err()));
    QVERIFY(exporter.WaitFor(u"第 1 遍完成"_s));

    for (const QByteArray method : { "GET", "HEAD" }) {
        const HttpReply healthy = Get(exporter.Port(), method, "/-/healthy");
        const HttpReply ready = Get(exporter.Port(), method, "/-/ready");
        QCOMPARE(healthy.status, 200);
        QCOMPARE(ready.status, 200);
        QCOMPARE(ready.body.isEmpty(), method == "HEAD");
    }

    const HttpReply plain = Get(exporter.Port(), "GET", "/metrics");
    const HttpReply gzipped = Get(exporter.Port(), "GET", "/metrics", "Accept-Encoding: deflate, gzip;q=0.5\r\n");
    const HttpReply refused = Get(exporter.Port(), "GET", "/metrics", "Accept-Encoding: gzip;q=0, identity\r\n");
    QCOMPARE(plain.status, 200);
    QVERIFY(!plain.head.contains("content-encoding"));
    QVERIFY(gzipped.head.contains("content-encoding: gzip\r\n"));
    QVERIFY(gzipped.head.contains("vary: accept-encoding"));
    QVERIFY(gzipped.body.size() < plain.body.size());
    const QByteArray unpacked = Gunzip(gzipped.body);
    QVERIFY2(unpacked.contains("patrol_build_info{version=\""), unpacked.left(200).constData());
    QVERIFY(!refused.head.contains("content-encoding") && refused.body.startsWith("# HELP"));

    const QByteArray& page = plain.body;
    const double now = double(QDateTime::currentSecsSinceEpoch());
    const double started = Sample(page, "process_start_time_seconds");
    QVERIFY2(started > now - 30 && started <= now + 1, page.right(800).constData());
    QVERIFY(Sample(page, "process_resident_memory_bytes") > 1e6);
    QVERIFY(Sample(page, "process_virtual_memory_bytes") >= Sample(page, "process_resident_memory_bytes"));
    QVERIFY(Sample(page, "process_cpu_seconds_total") >= 0);
    QVERIFY(Sample(page, "process_open_fds") > 3);
    QVERIFY(Sample(page, "process_max_fds") >= Sample(page, "process_open_fds"));
    QVERIFY(QRegularExpression(u"patrol_build_info\\{version=\"[0-9.]+\",revision=\"(?:[0-9a-f]+|unknown)\"\\} 1"_s)
                .match(QString::fromUtf8(page))
                .hasMatch());
    // The history's since-time, from before this process started.
    const double since = Sample(page, "patrol_site_state_since_timestamp_seconds{url=\"" + down + "\"}");
    QVERIFY2(since > 0 && since < started, page.constData());
    QCOMPARE(Sample(page, "patrol_site_abnormal_since_timestamp_seconds{url=\"" + down + "\"}"), since);
    // The status page says the same.
    const QByteArray api = Get(exporter.Port(), "GET", "/api/sites?state=abnormal").body;
    QVERIFY2(api.contains("\"abnormalSinceMs\":" + QByteArray::number(qint64(since * 1000))), api.constData());
    QCOMPARE(exporter.Stop(), 0);
}

void TestExporterProcess::sighupReloadsTheListKeepingTheSitesThatStay()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.SetDefault(LoopbackResponse::Status(404, "gone"));
    server.Route("/up", LoopbackResponse::Ok("fine", "text/plain"));
    const QByteArray down = server.Url(u"/down"_s).toUtf8();
    const QByteArray up = server.Url(u"/up"_s).toUtf8();
    const QByteArray added = server.Url(u"/added"_s).toUtf8();
    const QString sites = m_dir.filePath(u"reload-sites.txt"_s);
    const QString config = m_dir.filePath(u"reload.ini"_s);
    QVERIFY(WriteFileBytes(sites, down + '\n' + up + '\n'));
    QVERIFY(WriteFileBytes(config, TimeoutConfig(10)));
    Exporter exporter({ u"--config"_s, config, u"--sites"_s, sites, u"--no-history"_s, u"--interval"_s, u"1"_s });
    QVERIFY2(exporter.Port() != 0, qPrintable(exporter.Err()));
    QVERIFY(exporter.WaitFor(u"第 2 遍完成"_s));
    const QByteArray downSince = "patrol_site_state_since_timestamp_seconds{url=\"" + down + "\"}";
    const double since = Sample(Get(exporter.Port(), "GET", "/metrics").body, downSince);
    QVERIFY(since > 0);

    QVERIFY(WriteFileBytes(sites, added + '\n' + down + '\n'));
    QVERIFY(WriteFileBytes(config, TimeoutConfig(7)));
    exporter.Signal(SIGHUP);
    QVERIFY2(exporter.WaitFor(u"重新读取：新增 1 个，移除 1 个，设置变化：编辑框超时秒 “10”→“7”"_s),
        qPrintable(exporter.Err()));
    QVERIFY(exporter.WaitFor(u"遍完成：网站 2 个，不正常 2 个"_s));
    // A page rendered before the new list may be shared for up to a second.
    QByteArray page;
    QTRY_VERIFY_WITH_TIMEOUT(!(page = Get(exporter.Port(), "GET", "/metrics").body).contains(up), 10'000);
    QCOMPARE(Sample(page, downSince), since);
    QCOMPARE(Sample(page, "patrol_site_up{url=\"" + added + "\"}"), 0.0);
    QCOMPARE(Sample(page, "patrol_sites"), 2.0);
    QCOMPARE(Sample(page, "patrol_sites_abnormal"), 2.0);

    // A list that can't be read keeps the running one.
    QVERIFY(QFile::remove(sites));
    exporter.Signal(SIGHUP);
    QVERIFY(exporter.WaitFor(u"重新读取失败，继续使用原来的列表和设置"_s));
    QVERIFY(exporter.WaitFor(u"遍完成：网站 2 个，不正常 2 个"_s));
    page = Get(exporter.Port(), "GET", "/metrics").body;
    QCOMPARE(Sample(page, "patrol_sites"), 2.0);
    QCOMPARE(Sample(page, downSince), since);
    QCOMPARE(exporter.Stop(), 0);
}

QTEST_GUILESS_MAIN(TestExporterProcess)
#include "tst_exporter_process.moc"
