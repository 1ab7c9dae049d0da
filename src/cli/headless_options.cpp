#include "cli/headless_options.h"

#include "http/url_text.h"
#include "monitor/alert_settings.h"
#include "monitor/webhook_sender.h"
#include "store/persistence.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

bool IsPositiveInt(const QString& text, int max)
{
    static const QRegularExpression digits(u"^[0-9]{1,9}$"_s);
    if (!digits.match(text).hasMatch())
        return false;
    const int value = text.toInt();
    return value >= 1 && value <= max;
}

} // namespace

bool IsThreadCountText(const QString& text)
{
    return IsPositiveInt(text.trimmed(), kMaxHeadlessThreads);
}

bool IsTimeoutText(const QString& text)
{
    // An hour is far beyond any useful time-out and keeps the retry waits bounded.
    return IsPositiveInt(text.trimmed(), 3600);
}

bool IsIntervalText(const QString& text)
{
    static const QRegularExpression number(u"^[0-9]{1,9}(\\.[0-9]*)?$|^\\.[0-9]+$"_s);
    return number.match(text.trimmed()).hasMatch();
}

bool ParseListenText(const QString& text, QString* host, quint16* port)
{
    static const QRegularExpression form(u"^(?:\\[([0-9A-Fa-f:.]+)\\]|([^\\[\\]:/\\s]*)):([0-9]{1,5})$"_s);
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    const int value = match.captured(3).toInt();
    if (value > 65535)
        return false;
    *host = match.hasCaptured(1) ? match.captured(1) : match.captured(2);
    *port = quint16(value);
    return true;
}

QString HeadlessUsageText()
{
    return u"用法：patrol-lamp --headless [选项]（或 patrol-lamp-headless [选项]）\n"
           "无窗口运行监控。设置和网站列表取自配置文件（窗口保存的值），选项只对本次运行有效，不写回文件。\n"
           "\n"
           "  --config FILE         配置文件（默认：程序目录下的 %1；安装版在 ~/.config/patrol-lamp/ 下）\n"
           "  --sites FILE          网站列表文件，每行一个网址（UTF-8 或 GB18030）\n"
           "  --threads N           同时检查的网站数（1 至 1000）\n"
           "  --timeout S           超时秒（1 至 3600）\n"
           "  --interval S          刷新秒，可带小数，0 表示不等待\n"
           "  --status-codes TEXT   正常的状态码，用 | 分隔（如 200|301|302）\n"
           "  --no-status           不按状态码判断\n"
           "  --invert-status       状态码条件取反\n"
           "  --content TEXT        按网页内容判断：网页代码中出现的内容，用 | 分隔\n"
           "  --invert-content      网页内容条件取反\n"
           "  --passes N            检查 N 遍后结束（默认一直运行，直到 Ctrl+C 或 SIGTERM）\n"
           "  --format tsv|jsonl|csv 输出格式（默认 tsv）\n"
           "  --shard I/N           只检查第 I 片（0 ≤ I < N）：网址哈希除以 N 余 I 的网站\n"
           "  --listen HOST:PORT    在 http://HOST:PORT/metrics 提供 Prometheus 指标\n"
           "  --web-config FILE     指标的 TLS 与 basic auth（tls_server_config, basic_auth_users）\n"
           "  --history FILE        历史记录文件（默认：设置了 $STATE_DIRECTORY 时为其中的 history.sqlite，\n"
           "                        否则为配置文件旁的 <配置文件名>.history.sqlite）\n"
           "  --no-history          不记录历史\n"
           "  --notify-url URL      网站状态变化时向该网址 POST 一个 JSON 数组；\n"
           "                        送不到的重试约半分钟，结束时未送出的最多再试 10 秒\n"
           "  --notify [KIND=]URL   通知目标，可重复；KIND 为 dingtalk、wecom、feishu、telegram、slack、smtp、\n"
           "                        webhook，省略时按网址的主机或 smtp://、smtps:// 判断；邮件网址形如\n"
           "                        smtp://用户:密码@主机:587/?from=发件地址&to=收件地址[&to=…][&cafile=CA.pem]\n"
           "                        （smtp:// 必须 STARTTLS，smtps:// 直接 TLS）；未给出 --notify 与\n"
           "                        --notify-url 时用窗口“提醒设置”存在配置文件中的通知目标\n"
           "  --notify-secret S     前一个 --notify 的签名密钥（钉钉、飞书）或邮件登录密码\n"
           "  --notify-format F     前一个 --notify 的消息格式：text（默认）或 markdown（钉钉、企业微信）\n"
           "  --notify-test         向每个通知目标发送一条测试消息后退出；全部成功时退出状态为 0\n"
           "  --confirm-passes N    连续 N 遍不正常（或恢复正常）才提醒（默认取配置文件，否则 1）\n"
           "  --remind-minutes M    网站一直不正常时每 M 分钟再提醒一次，0 为不提醒（默认取配置文件，否则 0）\n"
           "  --help                显示本说明\n"
           "  --version             显示版本\n"
           "\n"
           "标准输出：每检查完一个网站输出一行。\n"
           "  tsv：遍数、行号、网址、正常/不正常、状态码、找到位置、响应时间，以制表符分隔\n"
           "  jsonl：每行一个 JSON 对象（pass, row, url, normal, status, status_text, found, found_text,\n"
           "         elapsed_ms, response_time, cert_expires）\n"
           "  csv：首行为列名，其余同 tsv，按 CSV 规则加引号\n"
           "退出状态：0 结束时没有不正常网站，2 有不正常网站，3 参数错误、文件无法读取或网站列表为空；\n"
           "  --notify-test 有目标失败时为 1。\n"
           "未给 --passes 时，由 SIGINT/SIGTERM 停止的运行总是以 0 退出（不正常网站数见最后的汇总和指标）。\n"_s.arg(
               Persist::ConfigFileName());
}

bool ParseHeadlessArguments(const QStringList& arguments, HeadlessOptions* options, QString* error)
{
    HeadlessOptions result;
    auto fail = [&](const QString& message) {
        *error = message;
        return false;
    };

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString name = arguments.at(i);
        std::optional<QString> inlineValue;
        if (name.startsWith(u"--"_s)) {
            const qsizetype equals = name.indexOf(u'=');
            if (equals > 0) {
                inlineValue = name.mid(equals + 1);
                name.truncate(equals);
            }
        }
        const bool takesValue = name == u"--config"_s || name == u"--sites"_s || name == u"--threads"_s
            || name == u"--timeout"_s || name == u"--interval"_s || name == u"--status-codes"_s
            || name == u"--content"_s || name == u"--passes"_s || name == u"--format"_s || name == u"--shard"_s
            || name == u"--listen"_s || name == u"--history"_s || name == u"--notify-url"_s || name == u"--notify"_s
            || name == u"--notify-secret"_s || name == u"--notify-format"_s || name == u"--confirm-passes"_s
            || name == u"--remind-minutes"_s || name == u"--web-config"_s;
        QString value;
        if (takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                value = arguments.at(++i);
            } else {
                return fail(u"选项 %1 缺少参数"_s.arg(name));
            }
        } else if (inlineValue) {
            return fail(u"选项 %1 不带参数"_s.arg(name));
        }

        if (name == u"--headless"_s) {
            continue;
        } else if (name == u"--config"_s || name == u"--sites"_s) {
            if (value.isEmpty())
                return fail(u"选项 %1 缺少文件名"_s.arg(name));
            (name == u"--config"_s ? result.configPath : result.sitesPath) = value;
        } else if (name == u"--threads"_s) {
            if (!IsThreadCountText(value))
                return fail(u"--threads 需要 1 至 %1 的整数，而不是“%2”"_s.arg(kMaxHeadlessThreads).arg(value));
            result.threads = value.trimmed();
        } else if (name == u"--timeout"_s) {
            if (!IsTimeoutText(value))
                return fail(u"--timeout 需要 1 至 3600 的整数秒，而不是“%1”"_s.arg(value));
            result.timeout = value.trimmed();
        } else if (name == u"--interval"_s) {
            if (!IsIntervalText(value))
                return fail(u"--interval 需要不小于 0 的秒数，而不是“%1”"_s.arg(value));
            result.interval = value.trimmed();
        } else if (name == u"--status-codes"_s) {
            result.statusCodes = value;
        } else if (name == u"--content"_s) {
            result.content = value;
        } else if (name == u"--passes"_s) {
            if (!IsPositiveInt(value.trimmed(), 1000000000))
                return fail(u"--passes 需要正整数，而不是“%1”"_s.arg(value));
            result.passes = value.trimmed().toInt();
        } else if (name == u"--format"_s) {
            if (value == u"tsv"_s)
                result.format = HeadlessOptions::Format::Tsv;
            else if (value == u"jsonl"_s)
                result.format = HeadlessOptions::Format::Jsonl;
            else if (value == u"csv"_s)
                result.format = HeadlessOptions::Format::Csv;
            else
                return fail(u"--format 只能是 tsv、jsonl 或 csv，而不是“%1”"_s.arg(value));
        } else if (name == u"--shard"_s) {
            SiteShard shard;
            if (!ParseShardText(value, &shard))
                return fail(u"--shard 需要 I/N（0 ≤ I < N），而不是“%1”"_s.arg(value));
            result.shard = shard;
        } else if (name == u"--listen"_s) {
            quint16 port = 0;
            if (!ParseListenText(value, &result.listenHost, &port))
                return fail(u"--listen 需要 HOST:PORT（如 127.0.0.1:9464 或 [::1]:9464），而不是“%1”"_s.arg(value));
            result.listenPort = port;
        } else if (name == u"--web-config"_s) {
            if (value.isEmpty())
                return fail(u"选项 --web-config 缺少文件名"_s);
            result.webConfigPath = value;
        } else if (name == u"--history"_s) {
            if (value.isEmpty())
                return fail(u"选项 --history 缺少文件名"_s);
            result.historyPath = value;
        } else if (name == u"--no-history"_s) {
            result.noHistory = true;
        } else if (name == u"--notify-url"_s) {
            if (!WebhookSender::IsDeliverableUrl(value))
                return fail(u"--notify-url 需要带主机名的 http:// 或 https:// 网址，而不是“%1”"_s.arg(
                    RedactedNotifyUrl(value)));
            result.notifyUrl = value;
        } else if (name == u"--notify"_s) {
            NotifyTarget target;
            QString why;
            if (!ParseNotifyTarget(value, &target, &why))
                return fail(u"--notify：%1"_s.arg(why));
            result.notifyTargets.append(target);
        } else if (name == u"--notify-secret"_s) {
            if (result.notifyTargets.isEmpty())
                return fail(u"--notify-secret 须跟在它所属的 --notify 之后"_s);
            result.notifyTargets.last().secret = value;
        } else if (name == u"--notify-format"_s) {
            if (result.notifyTargets.isEmpty())
                return fail(u"--notify-format 须跟在它所属的 --notify 之后"_s);
            const NotifyKind kind = result.notifyTargets.last().kind;
            if (value != u"text"_s && value != u"markdown"_s)
                return fail(u"--notify-format 只能是 text 或 markdown，而不是“%1”"_s.arg(value));
            if (value == u"markdown"_s && kind != NotifyKind::DingTalk && kind != NotifyKind::WeCom)
                return fail(u"--notify-format markdown 只用于钉钉和企业微信（dingtalk、wecom）"_s);
            result.notifyTargets.last().markdown = value == u"markdown"_s;
        } else if (name == u"--notify-test"_s) {
            result.notifyTest = true;
        } else if (name == u"--confirm-passes"_s || name == u"--remind-minutes"_s) {
            const bool confirm = name == u"--confirm-passes"_s;
            // A reminder at most every 10 years; a pass count beyond a million confirms nothing.
            // 0 minutes turns off the reminders the configuration file asks for.
            const bool off = !confirm && value.trimmed() == u"0"_s;
            if (!off && !IsPositiveInt(value.trimmed(), confirm ? kMaxConfirmPasses : kMaxRemindMinutes))
                return fail(u"%1 需要%2，而不是“%3”"_s.arg(name, confirm ? u"正整数"_s : u"不小于 0 的整数"_s, value));
            (confirm ? result.confirmPasses : result.remindMinutes) = value.trimmed().toInt();
        } else if (name == u"--no-status"_s) {
            result.noStatus = true;
        } else if (name == u"--invert-status"_s) {
            result.invertStatus = true;
        } else if (name == u"--invert-content"_s) {
            result.invertContent = true;
        } else if (name == u"--help"_s || name == u"-h"_s) {
            result.help = true;
        } else if (name == u"--version"_s) {
            result.version = true;
        } else {
            return fail(u"未知的参数：%1"_s.arg(arguments.at(i)));
        }
    }
    if (!result.webConfigPath.isEmpty() && !result.listenPort)
        return fail(u"--web-config 需要 --listen"_s);
    if (result.noHistory && !result.historyPath.isEmpty())
        return fail(u"--no-history 不能与 --history 同用"_s);
    if (result.noStatus && (result.statusCodes || result.invertStatus))
        return fail(u"--no-status 不能与 --status-codes 或 --invert-status 同用"_s);
    *options = result;
    return true;
}
