// Notification targets: each kind's exact request for one batch, the services' signatures, and refusals
// in a 200 answer counted as failed deliveries by the recorder's senders against a loopback robot.

#include "monitor/alert_filter.h"
#include "monitor/monitoring_run.h"
#include "monitor/notify_target.h"
#include "monitor/run_recorder.h"
#include "monitor/webhook_sender.h"
#include "support/loopback_server.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kNowMs = 1'700'000'000'000;

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
    };
    for (const Case& c : cases) {
        const NotifyRequest request = BuildNotifyRequest(Target(c.target, c.secret), text, json, kNowMs);
        QCOMPARE(request.url, c.url);
        QCOMPARE(request.body, c.body);
    }
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

QTEST_GUILESS_MAIN(TestNotifyTarget)
#include "tst_notify_target.moc"
