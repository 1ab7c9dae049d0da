// Notification targets: each kind's exact request for one batch, the services' signatures, and refusals
// in a 200 answer counted as failed deliveries by the recorder's senders against a loopback robot.

#include "monitor/alert_filter.h"
#include "monitor/monitoring_run.h"
#include "monitor/notify_target.h"
#include "monitor/run_recorder.h"
#include "monitor/webhook_sender.h"
#include "store/history_store.h"
#include "support/loopback_server.h"
#include "support/smtp_sink.h"
#include "support/test_files.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kNowMs = 1'700'000'000'000;

// Python's email parser reads it back as the batch's text (subject: its first line).
const QByteArray kMail = "Date: Tue, 14 Nov 2023 22:13:20 +0000\r\n"
                         "From: lamp@example.com\r\n"
                         "To: ops@example.com, oncall@example.com\r\n"
                         "Subject: =?UTF-8?B?5beh5pu054Gv77yaNyDkuKrnvZHnq5nkuI3mraPluLjvvJpodHRw?=\r\n"
                         " =?UTF-8?B?Oi8vczEv44CBaHR0cDovL3MyL+OAgWh0dHA6Ly9zMy/jgIFodHRw?=\r\n"
                         " =?UTF-8?B?Oi8vczQv44CBaHR0cDovL3M1LyDnrYkgNyDkuKo=?=\r\n"
                         "Message-ID: <patrol-lamp.1700000000000.bd02dffbc7b8@example.com>\r\n"
                         "MIME-Version: 1.0\r\n"
                         "Content-Type: text/plain; charset=UTF-8\r\n"
                         "Content-Transfer-Encoding: base64\r\n"
                         "\r\n"
                         "5beh5pu054Gv77yaNyDkuKrnvZHnq5nkuI3mraPluLjvvJpodHRwOi8vczEv44CBaHR0cDovL3My\r\n"
                         "L+OAgWh0dHA6Ly9zMy/jgIFodHRwOi8vczQv44CBaHR0cDovL3M1LyDnrYkgNyDkuKoNCjEg5Liq\r\n"
                         "572R56uZ5oGi5aSN5q2j5bi477yaaHR0cHM6Ly91cC8NCuiHqiAyMDIzLTExLTE0IDIyOjEzOjIw\r\n"
                         "IOi1tw==\r\n";

// The decoded subject and body of a received mail (encoded words and base64, as the standards say).
struct DecodedMail
{
    QString subject;
    QString body;
};

DecodedMail Decode(const QByteArray& data)
{
    const qsizetype split = data.indexOf("\r\n\r\n");
    QByteArray headers = data.left(split);
    headers.replace("\r\n ", " ");
    DecodedMail mail;
    for (const QByteArray& line : headers.split('\n')) {
        const QByteArray value = line.mid(line.indexOf(':') + 2).trimmed();
        if (line.startsWith("Subject: ")) {
            static const QRegularExpression word(u"=\\?UTF-8\\?B\\?([^?]*)\\?="_s);
            QByteArray bytes;
            for (const QRegularExpressionMatch& m : word.globalMatch(QString::fromLatin1(value)))
                bytes += QByteArray::fromBase64(m.captured(1).toLatin1());
            mail.subject = QString::fromUtf8(bytes);
        }
    }
    mail.body = QString::fromUtf8(QByteArray::fromBase64(data.mid(split + 4)));
    return mail;
}

NotifyTarget Target(const QString& text, const QString& secret = {})
{
    NotifyTarget target;
    QString error;
    if (!ParseNotifyTarget(text, &target, &error))
        qWarning() << error;
    target.secret = secret;
    return target;
}

} // namespace

class TestNotifyTarget final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("TZ", "UTC"); }
    void kindsFromHostOrName();
    void signaturesAsPublished();
    void exactRequestPerKind();
    void answersWithErrorCodesFail();
    void recorderSendsEachTargetItsOwnMessage();
    void confirmsAndReminds();
    void mailOverStartTlsWithLogin();
    void certificateWarnedOncePerThreshold();
};

void TestNotifyTarget::kindsFromHostOrName()
{
    QCOMPARE(Target(u"https://oapi.dingtalk.com/robot/send?access_token=t"_s).kind, NotifyKind::DingTalk);
    QCOMPARE(Target(u"https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=k"_s).kind, NotifyKind::WeCom);
    QCOMPARE(Target(u"https://open.feishu.cn/open-apis/bot/v2/hook/x"_s).kind, NotifyKind::Feishu);
    QCOMPARE(Target(u"https://api.telegram.org/bot1:A/sendMessage?chat_id=5"_s).kind, NotifyKind::Telegram);
    QCOMPARE(Target(u"https://hooks.slack.com/services/T/B/X"_s).kind, NotifyKind::Slack);
    QCOMPARE(Target(u"https://example.com/hook?a=b"_s).kind, NotifyKind::Webhook);
    const NotifyTarget named = Target(u"WeCom=http://10.0.0.1/send?key=a=b"_s);
    QCOMPARE(named.kind, NotifyKind::WeCom);
    QCOMPARE(named.url, u"http://10.0.0.1/send?key=a=b"_s);

    NotifyTarget target;
    QString error;
    QVERIFY(!ParseNotifyTarget(u"pager=http://x/"_s, &target, &error));
    QVERIFY(error.contains(u"pager"_s));
    QVERIFY(!ParseNotifyTarget(u"ftp://x/"_s, &target, &error));
    QVERIFY(!ParseNotifyTarget(u"dingtalk="_s, &target, &error));
}

// Expected values from openssl: printf '1700000000000\nSECtest' | openssl dgst -sha256 -hmac SECtest -binary |
// base64, and for Feishu the empty message keyed by "1700000000\nSECtest".
void TestNotifyTarget::signaturesAsPublished()
{
    QCOMPARE(DingTalkSign(kNowMs, u"SECtest"_s), u"aZLLrriXgn05YbwaGR7knYsLeJADjr9NwLaNNKpxh4g="_s);
    QCOMPARE(FeishuSign(kNowMs / 1000, u"SECtest"_s), u"G7XpBpG8NgG02fJOAhX6FRAObIljmFoxVReo8I62pEk="_s);
}

void TestNotifyTarget::exactRequestPerKind()
{
    QVector<StateChange> batch;
    for (int i = 1; i <= 7; ++i)
        batch.append(
            { u"http://s%1/"_s.arg(i), false, 500, {}, 0, kNowMs + i * 1000, 3, 0, FailureReason::None, {}, false });
    batch.append({ u"https://up/"_s, true, 200, {}, 0, kNowMs, 3, 0, FailureReason::None, {}, false });
    const QString text = NotifyText(batch, kNowMs / 1000);
    QCOMPARE(text,
        u"巡更灯：7 个网站不正常：http://s1/、http://s2/、http://s3/、http://s4/、http://s5/ 等 7 个\n"
        "1 个网站恢复正常：https://up/\n自 2023-11-14 22:13:20 起"_s);
    const QByteArray quoted
        = QByteArray(R"("巡更灯：7 个网站不正常：http://s1/、http://s2/、http://s3/、http://s4/、)"
                     R"(http://s5/ 等 7 个\n1 个网站恢复正常：https://up/\n自 2023-11-14 22:13:20 起")");
    const QByteArray json = AlertJson(batch);

    struct Case
    {
        QString target;
        QString secret;
        QString url;
        QByteArray body;
    };
    const Case cases[] = {
        { u"https://oapi.dingtalk.com/robot/send?access_token=t"_s, u"SECtest"_s,
            u"https://oapi.dingtalk.com/robot/send?access_token=t&timestamp=1700000000000&sign="
            "aZLLrriXgn05YbwaGR7knYsLeJADjr9NwLaNNKpxh4g%3D"_s,
            R"({"msgtype":"text","text":{"content":)" + quoted + "}}" },
        { u"https://oapi.dingtalk.com/robot/send?access_token=t"_s, {},
            u"https://oapi.dingtalk.com/robot/send?access_token=t"_s,
            R"({"msgtype":"text","text":{"content":)" + quoted + "}}" },
        { u"https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=k"_s, {},
            u"https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=k"_s,
            R"({"msgtype":"text","text":{"content":)" + quoted + "}}" },
        { u"https://open.feishu.cn/open-apis/bot/v2/hook/x"_s, u"SECtest"_s,
            u"https://open.feishu.cn/open-apis/bot/v2/hook/x"_s,
            R"({"content":{"text":)" + quoted
                + R"(},"msg_type":"text","sign":"G7XpBpG8NgG02fJOAhX6FRAObIljmFoxVReo8I62pEk=","timestamp":"1700000000"})" },
        { u"https://api.telegram.org/bot1:A/sendMessage?chat_id=-100%2B5"_s, {},
            u"https://api.telegram.org/bot1:A/sendMessage"_s, R"({"chat_id":"-100+5","text":)" + quoted + "}" },
        { u"https://hooks.slack.com/services/T/B/X"_s, {}, u"https://hooks.slack.com/services/T/B/X"_s,
            R"({"text":)" + quoted + "}" },
        { u"https://example.com/hook"_s, u"ignored"_s, u"https://example.com/hook"_s, json },
        { u"smtp://lamp@127.0.0.1/?from=lamp@example.com&to=ops@example.com,oncall@example.com"_s, u"pw"_s,
            u"smtp://lamp@127.0.0.1/?from=lamp@example.com&to=ops@example.com,oncall@example.com"_s, kMail },
    };
    for (const Case& c : cases) {
        const NotifyRequest request = BuildNotifyRequest(Target(c.target, c.secret), text, json, kNowMs);
        QCOMPARE(request.url, c.url);
        QCOMPARE(request.body, c.body);
    }

    // Markdown: a hostile address stays inside its code span.
    batch[0].url = u"http://a/`[x](http://evil)`"_s;
    const QString markdown = NotifyMarkdown(batch.mid(0, 1) + batch.mid(7), kNowMs / 1000);
    QCOMPARE(markdown,
        u"#### 巡更灯\n- 1 个网站不正常：`http://a/%60[x](http://evil)%60`\n- 1 个网站恢复正常：`https://up/`\n\n"
        "自 2023-11-14 22:13:20 起"_s);
    NotifyTarget ding = Target(u"https://oapi.dingtalk.com/robot/send?access_token=t"_s);
    NotifyTarget wecom = Target(u"https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=k"_s);
    ding.markdown = wecom.markdown = true;
    QCOMPARE(BuildNotifyRequest(ding, u"#### a\n- `b`"_s, {}, kNowMs).body,
        QByteArray(R"({"markdown":{"text":"#### a\n- `b`","title":"巡更灯"},"msgtype":"markdown"})"));
    QCOMPARE(BuildNotifyRequest(wecom, u"#### a"_s, {}, kNowMs).body,
        QByteArray(R"({"markdown":{"content":"#### a"},"msgtype":"markdown"})"));
}

void TestNotifyTarget::answersWithErrorCodesFail()
{
    struct Case
    {
        NotifyKind kind;
        int status;
        QByteArray body;
        QString expected;
    };
    const Case cases[] = {
        { NotifyKind::DingTalk, 200, R"({"errcode":0,"errmsg":"ok"})", {} },
        { NotifyKind::DingTalk, 200, R"({"errcode":310000,"errmsg":"sign not match"})",
            u"错误码 310000：sign not match"_s },
        { NotifyKind::WeCom, 200, R"({"errcode":93000,"errmsg":"invalid webhook url"})",
            u"错误码 93000：invalid webhook url"_s },
        { NotifyKind::Feishu, 200, R"({"code":19021,"msg":"sign match fail","data":{}})",
            u"错误码 19021：sign match fail"_s },
        { NotifyKind::Feishu, 200, R"({"StatusCode":0,"StatusMessage":"success"})", {} },
        { NotifyKind::Telegram, 400, R"({"ok":false,"error_code":400,"description":"Bad Request: chat not found"})",
            u"错误码 400：Bad Request: chat not found"_s },
        { NotifyKind::Slack, 403, "invalid_token", u"状态码 403：invalid_token"_s },
        { NotifyKind::Slack, 200, "ok", {} },
        // The generic webhook reads no body; a robot's plain 5xx is still a failure.
        { NotifyKind::Webhook, 204, R"({"errcode":1})", {} },
        { NotifyKind::WeCom, 502, {}, u"状态码 502"_s },
        { NotifyKind::WeCom, 0, {}, u"无应答"_s },
    };
    for (const Case& c : cases)
        QCOMPARE(CheckNotifyAnswer(c.kind, c.status, c.body), c.expected);
}

// A run with one abnormal site and three targets on loopback: the webhook gets the JSON, the robot its own
// signed text message, and the robot that refuses with an error code is reported with the code.
void TestNotifyTarget::recorderSendsEachTargetItsOwnMessage()
{
    LoopbackServer sites;
    LoopbackServer robots;
    QVERIFY(sites.IsListening() && robots.IsListening());
    sites.SetDefault(LoopbackResponse::Status(500));
    robots.SetHandler([](const LoopbackRequest& request) {
        if (request.Path() == "/refuses")
            return LoopbackResponse::Ok(R"({"errcode":310000,"errmsg":"keywords not in content"})", "application/json");
        return LoopbackResponse::Ok(R"({"errcode":0,"errmsg":"ok"})", "application/json");
    });
    MonitoringRun run;
    MonitorSettings settings;
    settings.intervalText = u"0"_s;
    run.SetSettings(settings);
    run.SetSiteListText(sites.Url(u"/down"_s));
    run.SetMaxPasses(1);
    RunRecorder recorder(&run, 600'000);
    recorder.SetNotifyTargets(
        { Target(robots.Url(u"/hook"_s)), Target(u"dingtalk="_s + robots.Url(u"/ding?t=1"_s), u"s"_s),
            Target(u"dingtalk="_s + robots.Url(u"/refuses"_s)) });
    for (QObject* child : recorder.children()) {
        if (auto* sender = qobject_cast<WebhookSender*>(child))
            sender->SetRetryDelays({ 10 });
    }
    QSignalSpy failed(&recorder, &RunRecorder::DeliveryFailed);
    run.Click();
    QVERIFY(failed.wait(60'000));
    QVERIFY(failed.at(0).at(0).toString().contains(u"错误码 310000：keywords not in content"_s));
    QVERIFY(robots.WaitForRequests(4, 10'000)); // the refusing robot is tried twice

    QMap<QByteArray, LoopbackRequest> seen;
    for (const LoopbackRequest& request : robots.Requests())
        seen.insert(request.Path(), request);
    const QByteArray webhookStart = R"([{"at_ms")";
    QCOMPARE(seen.value("/hook").body.left(9), webhookStart);
    const LoopbackRequest ding = seen.value("/ding");
    const QByteArray dingStart = R"({"msgtype":"text","text":{"content":"巡更灯：1 个网站不正常：)";
    QVERIFY(ding.body.startsWith(dingStart));
    const QUrlQuery query(QUrl(QString::fromLatin1(ding.target)));
    const qint64 timestamp = query.queryItemValue(u"timestamp"_s).toLongLong();
    QVERIFY(qAbs(timestamp - QDateTime::currentMSecsSinceEpoch()) < 120'000);
    QCOMPARE(query.queryItemValue(u"sign"_s, QUrl::FullyDecoded), DingTalkSign(timestamp, u"s"_s));
}

// One site's checks a minute apart under 2 passes to confirm and a reminder every 3 minutes: a single bad
// check or a single good one between bad ones says nothing.
void TestNotifyTarget::confirmsAndReminds()
{
    AlertFilter filter;
    filter.SetRules(2, 180'000);
    const QString checks = u"+-+--+--+++---+++"_s;
    QString told;
    for (int i = 0; i < checks.size(); ++i) {
        const AlertFilter::Verdict verdict = filter.Feed(u"s"_s, checks[i] == u'+', i * 60'000);
        told += verdict == AlertFilter::Verdict::Change ? (checks[i] == u'+' ? u'U' : u'D')
            : verdict == AlertFilter::Verdict::Reminder ? u'R'
                                                        : u'.';
    }
    QCOMPARE(told, u"....D..R.U..D..U."_s);

    AlertFilter today; // the default: every flip, no reminders
    QString flips;
    for (const QChar c : u"+-+--"_s)
        flips += today.Feed(u"s"_s, c == u'+', 0) == AlertFilter::Verdict::Change ? u'C' : u'.';
    QCOMPARE(flips, u".CCC."_s);

    // Abnormal in the history: staying so is quiet, and the reminder clock starts at the relaunch.
    AlertFilter relaunched;
    relaunched.SetRules(1, 60'000);
    relaunched.SeedAbnormal({ u"s"_s });
    QCOMPARE(relaunched.Feed(u"s"_s, false, 1'000'000), AlertFilter::Verdict::Quiet);
    QCOMPARE(relaunched.Feed(u"s"_s, false, 1'060'000), AlertFilter::Verdict::Reminder);
    QCOMPARE(relaunched.Feed(u"s"_s, true, 1'070'000), AlertFilter::Verdict::Change);

    const StateChange reminder { u"http://a/"_s, false, 500, {}, 0, 0, 1, 0, FailureReason::StatusRejected, {}, true };
    QCOMPARE(AlertText({ reminder }, 0),
        u"1 个网站仍不正常：http://a/（%1）"_s.arg(FailureReasonText(FailureReason::StatusRejected)));
    const QByteArray flag = R"("reminder":true)";
    QVERIFY(AlertJson({ reminder }).contains(flag));
}

// A batch over STARTTLS with a login (the password from the secret); a wrong password and a refused recipient
// are failed deliveries with the server's code, and the password is in neither text.
void TestNotifyTarget::mailOverStartTlsWithLogin()
{
    SmtpSink sink(u"lamp@example.com"_s, u"s3cret"_s, { u"gone@example.com"_s });
    QVERIFY(sink.Port());
    QTemporaryDir dir;
    const QString ca = dir.filePath(u"ca.pem"_s);
    QVERIFY(WriteFileBytes(ca, LoopbackServer::CertificatePem()));
    const auto url = [&](const QString& to) {
        return u"smtp://lamp%40example.com@127.0.0.1:%1/?from=lamp@example.com&to=%2&cafile=%3"_s.arg(sink.Port())
            .arg(to, ca);
    };
    const QString text = u"巡更灯：1 个网站不正常：http://s1/（连接被拒绝）\n自 2023-11-14 22:13:20 起"_s;
    auto deliver = [&](const QString& to, const QString& password) {
        return DeliverNotifyRequest(
            NotifyKind::Mail, BuildNotifyRequest(Target(url(to), password), text, {}, kNowMs), 10'000);
    };
    QCOMPARE(deliver(u"ops@example.com,b@example.com"_s, u"s3cret"_s), QString());
    QCOMPARE(sink.Mails().size(), 1);
    const SmtpSink::Mail mail = sink.Mails().first();
    QVERIFY(mail.tls);
    QCOMPARE(mail.from, u"lamp@example.com"_s);
    QCOMPARE(mail.to, QStringList({ u"ops@example.com"_s, u"b@example.com"_s }));
    const DecodedMail decoded = Decode(mail.data);
    QCOMPARE(decoded.subject, u"巡更灯：1 个网站不正常：http://s1/（连接被拒绝）"_s);
    QCOMPARE(decoded.body, QString(text).replace(u"\n"_s, u"\r\n"_s));

    const QString refused = deliver(u"ops@example.com"_s, u"wrong"_s);
    QVERIFY2(refused.contains(u"535"_s) && !refused.contains(u"wrong"_s), qPrintable(refused));
    const QString rejected = deliver(u"gone@example.com"_s, u"s3cret"_s);
    QVERIFY2(rejected.contains(u"550"_s), qPrintable(rejected));
    QCOMPARE(sink.Mails().size(), 1);

    // Every line of a long subject within the limit for encoded words, split between characters.
    const QByteArray message = MailMessage(u"a@x"_s, { u"b@y"_s }, QString(200, QChar(0x6587)) + u"😀"_s, 0);
    for (const QByteArray& line : message.split('\n'))
        QVERIFY2(line.size() <= 77, line.constData());
    QCOMPARE(Decode(message).subject, QString(119, QChar(0x6587)) + u"…"_s);
}

// A certificate 20, 13, 12, 2.5 and 2 days from expiry is told at 13 days (14) and 2.5 days (3); a renewed one
// starts over. A relaunch with the history tells nothing already told.
void TestNotifyTarget::certificateWarnedOncePerThreshold()
{
    const qint64 expires = kNowMs / 1000 + 20 * 86'400;
    const auto at = [&](double daysLeft) { return qint64((expires - daysLeft * 86'400) * 1000); };
    CertificateWatch watch;
    QString told;
    for (const double left : { 20.0, 13.0, 12.0, 2.5, 2.0, -1.0 })
        told += QString::number(watch.Feed(u"s"_s, expires, at(left))) + u' ';
    QCOMPARE(told, u"0 14 0 3 0 0 "_s);
    QCOMPARE(watch.Feed(u"s"_s, 0, at(1)), 0); // no certificate read this time: nothing changes
    QCOMPARE(watch.Feed(u"s"_s, expires + 90 * 86'400, at(1)), 0);
    QCOMPARE(watch.Feed(u"s"_s, expires + 10 * 86'400, at(1)), 14); // renewed, again short

    QTemporaryDir dir;
    const QString path = dir.filePath(u"h.sqlite"_s);
    {
        HistoryStore history(path);
        history.Start();
        history.Record(HistorySample { u"https://soon/"_s, at(13), true, 200, 5, expires });
        history.Record(HistorySample { u"https://later/"_s, at(13), true, 200, 5, expires + 30 * 86'400 });
        history.Flush();
    }
    const QList<HistoryStore::KnownCertificate> known = HistoryStore::ReadExpiringCertificates(path, 14);
    QCOMPARE(known.size(), 1);
    CertificateWatch relaunched;
    relaunched.Seed(known[0].url, known[0].expires, known[0].seenMs);
    QCOMPARE(relaunched.Feed(u"https://soon/"_s, expires, at(12)), 0);
    QCOMPARE(relaunched.Feed(u"https://soon/"_s, expires, at(2)), 3);

    StateChange warning { u"https://soon/"_s, true, 200, {}, 0, 0, 1, expires, FailureReason::None, {}, false, 14 };
    QCOMPARE(AlertText({ warning }, expires - 13 * 86'400 - 60),
        u"1 个网站的证书即将到期：soon（2023-12-04 到期，还剩 13 天）"_s);
    QCOMPARE(AlertJson({ warning }), QByteArray("[]"));
}

QTEST_GUILESS_MAIN(TestNotifyTarget)
#include "tst_notify_target.moc"
