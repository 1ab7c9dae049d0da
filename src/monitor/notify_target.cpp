#include "monitor/notify_target.h"

#include "http/mail_transfer.h"
#include "http/request_object.h"
#include "http/url_text.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

struct KindName
{
    NotifyKind kind;
    QLatin1StringView name;
    QLatin1StringView host; // the service's own host; empty: only by name
};

constexpr KindName kKinds[] = {
    { NotifyKind::Webhook, "webhook"_L1, {} },
    { NotifyKind::DingTalk, "dingtalk"_L1, "oapi.dingtalk.com"_L1 },
    { NotifyKind::WeCom, "wecom"_L1, "qyapi.weixin.qq.com"_L1 },
    { NotifyKind::Feishu, "feishu"_L1, "open.feishu.cn"_L1 },
    { NotifyKind::Feishu, "lark"_L1, "open.larksuite.com"_L1 },
    { NotifyKind::Telegram, "telegram"_L1, "api.telegram.org"_L1 },
    { NotifyKind::Slack, "slack"_L1, "hooks.slack.com"_L1 },
    { NotifyKind::Mail, "smtp"_L1, {} },
};

// The subject's words: "Subject: " and the encoded word's frame leave room for 52 Base64 characters
// (39 bytes) on a line of 76, the limit for lines with encoded words.
constexpr qsizetype kWordBytes = 39;
constexpr qsizetype kSubjectChars = 120;
constexpr qsizetype kBodyLine = 76;

QByteArray Compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray Hmac(const QByteArray& message, const QByteArray& key)
{
    return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256).toBase64();
}

QString LocalTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(u"yyyy-MM-dd HH:mm:ss"_s);
}

} // namespace

bool ParseNotifyTarget(const QString& text, NotifyTarget* target, QString* error)
{
    NotifyTarget result;
    QString url = text.trimmed();
    const qsizetype equals = url.indexOf(u'=');
    const qsizetype colon = url.indexOf(u':');
    bool named = false;
    if (equals > 0 && (colon < 0 || equals < colon)) {
        const QString name = url.left(equals).toLower();
        const auto* it
            = std::find_if(std::begin(kKinds), std::end(kKinds), [&](const KindName& k) { return k.name == name; });
        if (it == std::end(kKinds)) {
            *error = u"未知的通知种类“%1”（可用：dingtalk、wecom、feishu、telegram、slack、smtp、webhook）"_s.arg(name);
            return false;
        }
        result.kind = it->kind;
        url = url.mid(equals + 1);
        named = true;
    }
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    const bool mail = scheme == u"smtp"_s || scheme == u"smtps"_s;
    if (mail || (named && result.kind == NotifyKind::Mail)) {
        MailRoute route;
        if (named && result.kind != NotifyKind::Mail) {
            *error = u"smtp:// 网址只能用于邮件（smtp=）"_s;
            return false;
        }
        if (!ParseMailUrl(url, &route, error))
            return false;
        result.kind = NotifyKind::Mail;
        result.url = url;
        *target = result;
        return true;
    }
    if (!parsed.isValid() || (scheme != u"http"_s && scheme != u"https"_s) || parsed.host().isEmpty()) {
        *error = u"通知网址需要 http:// 或 https:// 网址，而不是“%1”"_s.arg(RedactedNotifyUrl(url));
        return false;
    }
    if (!named) {
        const QString host = parsed.host().toLower();
        for (const KindName& k : kKinds) {
            if (!k.host.isEmpty() && host == k.host)
                result.kind = k.kind;
        }
    }
    result.url = url;
    *target = result;
    return true;
}

QString NotifyKindName(NotifyKind kind)
{
    for (const KindName& k : kKinds) {
        if (k.kind == kind)
            return k.name;
    }
    return {};
}

QString DingTalkSign(qint64 timestampMs, const QString& secret)
{
    return QString::fromLatin1(Hmac(QByteArray::number(timestampMs) + '\n' + secret.toUtf8(), secret.toUtf8()));
}

QString FeishuSign(qint64 timestampSeconds, const QString& secret)
{
    // Keyed by the string to sign, over an empty message: the service's own (unusual) rule.
    return QString::fromLatin1(Hmac({}, QByteArray::number(timestampSeconds) + '\n' + secret.toUtf8()));
}

NotifyRequest BuildNotifyRequest(const NotifyTarget& target, const QString& text, const QByteArray& json, qint64 nowMs)
{
    const QJsonObject textObject { { u"content"_s, text } };
    const bool markdown = target.markdown && (target.kind == NotifyKind::DingTalk || target.kind == NotifyKind::WeCom);
    const QByteArray robotBody = !markdown ? Compact({ { u"msgtype"_s, u"text"_s }, { u"text"_s, textObject } })
        : target.kind == NotifyKind::DingTalk
        ? Compact({ { u"msgtype"_s, u"markdown"_s },
            { u"markdown"_s, QJsonObject { { u"title"_s, u"巡更灯"_s }, { u"text"_s, text } } } })
        : Compact({ { u"msgtype"_s, u"markdown"_s }, { u"markdown"_s, textObject } });
    switch (target.kind) {
    case NotifyKind::Webhook:
        break;
    case NotifyKind::DingTalk: {
        QString url = target.url;
        if (!target.secret.isEmpty()) {
            url += (url.contains(u'?') ? u'&' : u'?')
                + u"timestamp=%1&sign=%2"_s.arg(nowMs).arg(
                    QString::fromLatin1(QUrl::toPercentEncoding(DingTalkSign(nowMs, target.secret))));
        }
        return { url, robotBody };
    }
    case NotifyKind::WeCom:
        return { target.url, robotBody };
    case NotifyKind::Mail: {
        MailRoute route;
        QString error;
        ParseMailUrl(target.url, &route, &error);
        return { target.url, MailMessage(route.from, route.to, text, nowMs), target.secret };
    }
    case NotifyKind::Feishu: {
        QJsonObject body { { u"msg_type"_s, u"text"_s }, { u"content"_s, QJsonObject { { u"text"_s, text } } } };
        if (!target.secret.isEmpty()) {
            const qint64 seconds = nowMs / 1000;
            body.insert(u"timestamp"_s, QString::number(seconds));
            body.insert(u"sign"_s, FeishuSign(seconds, target.secret));
        }
        return { target.url, Compact(body) };
    }
    case NotifyKind::Telegram: {
        // The chat id rides in the configured URL's query; the service wants it in the body.
        QUrl url(target.url);
        const QString chat = QUrlQuery(url).queryItemValue(u"chat_id"_s, QUrl::FullyDecoded);
        url.setQuery(QString());
        return { url.toString(QUrl::FullyEncoded), Compact({ { u"chat_id"_s, chat }, { u"text"_s, text } }) };
    }
    case NotifyKind::Slack:
        return { target.url, Compact({ { u"text"_s, text } }) };
    }
    return { target.url, json };
}

QString CheckNotifyAnswer(NotifyKind kind, int status, const QByteArray& body)
{
    const QJsonObject answer = QJsonDocument::fromJson(body).object();
    QString code;
    QString message;
    switch (kind) {
    case NotifyKind::DingTalk:
    case NotifyKind::WeCom:
        if (answer.contains(u"errcode"_s) && answer.value(u"errcode"_s).toInt() != 0) {
            code = QString::number(answer.value(u"errcode"_s).toInt());
            message = answer.value(u"errmsg"_s).toString();
        }
        break;
    case NotifyKind::Feishu: {
        // Older bots answer with StatusCode/StatusMessage.
        const QString key = answer.contains(u"code"_s) ? u"code"_s : u"StatusCode"_s;
        if (answer.contains(key) && answer.value(key).toInt() != 0) {
            code = QString::number(answer.value(key).toInt());
            message = answer.value(answer.contains(u"msg"_s) ? u"msg"_s : u"StatusMessage"_s).toString();
        }
        break;
    }
    case NotifyKind::Telegram:
        if (answer.contains(u"ok"_s) && !answer.value(u"ok"_s).toBool()) {
            code = QString::number(answer.value(u"error_code"_s).toInt());
            message = answer.value(u"description"_s).toString();
        }
        break;
    case NotifyKind::Slack:
        if (status < 200 || status >= 300)
            message = QString::fromUtf8(body.left(200)).trimmed(); // "invalid_token" and the like
        break;
    case NotifyKind::Webhook:
    case NotifyKind::Mail:
        break;
    }
    if (!code.isEmpty())
        return u"错误码 %1：%2"_s.arg(code, message);
    if (status == 0)
        return u"无应答"_s;
    if (status < 200 || status >= 300)
        return message.isEmpty() ? u"状态码 %1"_s.arg(status) : u"状态码 %1：%2"_s.arg(status).arg(message);
    return {};
}

QString DeliverNotifyRequest(
    NotifyKind kind, const NotifyRequest& request, int timeoutMs, const std::shared_ptr<std::atomic<bool>>& cancel)
{
    if (kind == NotifyKind::Mail) {
        MailRoute route;
        QString error;
        if (!ParseMailUrl(request.url, &route, &error))
            return error;
        MailTransfer mail { route.server, route.user, request.secret.isEmpty() ? route.password : request.secret,
            route.from, route.to, request.body, route.caFile, timeoutMs, cancel };
        return SendMail(mail);
    }
    RequestObject http;
    if (cancel)
        http.SetCancelFlag(cancel);
    http.SetTimeouts(timeoutMs, timeoutMs, timeoutMs, timeoutMs);
    http.SetOption(RequestObject::EnableRedirects, false);
    http.Open(u"POST"_s, request.url, true);
    http.SetRequestHeader(u"Content-Type"_s, u"application/json; charset=utf-8"_s);
    http.Send(request.body);
    http.WaitForResponse(std::max(1, timeoutMs / 1000));
    return CheckNotifyAnswer(kind, http.Status(), http.ResponseBody());
}

QString NotifyText(const QVector<StateChange>& batch, qint64 nowSeconds)
{
    qint64 since = 0;
    for (const StateChange& change : batch)
        since = since == 0 ? change.atMs : std::min(since, change.atMs);
    // Each abnormal site is named with its verdict's reason (AlertText).
    QString text = u"巡更灯：%1"_s.arg(AlertText(batch, nowSeconds));
    if (since > 0)
        text += u"\n自 %1 起"_s.arg(LocalTime(since));
    return text;
}

QString NotifyTestText()
{
    return u"巡更灯：测试通知，收到即表示通知设置正确。"_s;
}

QString NotifyMarkdown(const QVector<StateChange>& batch, qint64 nowSeconds)
{
    // A code span can hold anything but its own fence: a backtick in an address is shown escaped instead.
    const auto code = [](const QString& url) { return u'`' + QString(url).replace(u'`', u"%60"_s) + u'`'; };
    qint64 since = 0;
    for (const StateChange& change : batch)
        since = since == 0 ? change.atMs : std::min(since, change.atMs);
    QString text = u"#### 巡更灯"_s;
    for (const QString& line : AlertLines(batch, nowSeconds, code))
        text += u"\n- "_s + line;
    if (since > 0)
        text += u"\n\n自 %1 起"_s.arg(LocalTime(since));
    return text;
}

bool ParseMailUrl(const QString& url, MailRoute* route, QString* error)
{
    static const QRegularExpression address(uR"(^[A-Za-z0-9.!#$%&'*+/=?^_`{|}~-]+@[A-Za-z0-9.-]+$)"_s);
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    const QUrlQuery query(parsed);
    MailRoute result;
    if (!parsed.isValid() || (scheme != u"smtp"_s && scheme != u"smtps"_s) || parsed.host().isEmpty()) {
        *error = u"邮件通知需要 smtp:// 或 smtps:// 网址，而不是“%1”"_s.arg(RedactedNotifyUrl(url));
        return false;
    }
    result.server = u"%1://%2"_s.arg(scheme, parsed.authority(QUrl::RemoveUserInfo | QUrl::FullyEncoded));
    result.user = parsed.userName(QUrl::FullyDecoded);
    result.password = parsed.password(QUrl::FullyDecoded);
    result.from = query.queryItemValue(u"from"_s, QUrl::FullyDecoded);
    for (const QString& value : query.allQueryItemValues(u"to"_s, QUrl::FullyDecoded))
        result.to += value.split(u',', Qt::SkipEmptyParts);
    for (QString& to : result.to)
        to = to.trimmed();
    result.caFile = query.queryItemValue(u"cafile"_s, QUrl::FullyDecoded);
    if (result.from.size() > 254 || !address.match(result.from).hasMatch()) {
        *error = u"邮件通知网址需要 from=发件地址（如 ?from=a@example.com&to=b@example.com）"_s;
        return false;
    }
    if (result.to.isEmpty()) {
        *error = u"邮件通知网址需要至少一个 to=收件地址"_s;
        return false;
    }
    for (const QString& to : result.to) {
        // 254: the longest address SMTP carries; it keeps every header line within the limit.
        if (to.size() > 254 || !address.match(to).hasMatch()) {
            *error = u"收件地址“%1”无效"_s.arg(to.left(100));
            return false;
        }
    }
    *route = result;
    return true;
}

namespace {

// "=?UTF-8?B?...?=" words of whole characters, each at most kWordBytes bytes, one per folded line.
QByteArray EncodedWords(const QString& text)
{
    QByteArray out;
    QByteArray word;
    const auto flush = [&] {
        if (word.isEmpty())
            return;
        out += (out.isEmpty() ? "" : "\r\n ") + QByteArray("=?UTF-8?B?") + word.toBase64() + "?=";
        word.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype length = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QByteArray character = text.mid(i, length).toUtf8();
        i += length - 1;
        if (word.size() + character.size() > kWordBytes)
            flush();
        word += character;
    }
    flush();
    return out;
}

QByteArray MailDate(qint64 ms)
{
    static const char* const kDays[] = { "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun" };
    static const char* const kMonths[]
        = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms).toUTC();
    const QDate date = at.date();
    return QByteArray(kDays[date.dayOfWeek() - 1]) + ", " + QByteArray::number(date.day()) + ' '
        + kMonths[date.month() - 1] + ' ' + QByteArray::number(date.year()) + ' '
        + at.time().toString(u"HH:mm:ss"_s).toLatin1() + " +0000";
}

} // namespace

QByteArray MailMessage(const QString& from, const QStringList& to, const QString& text, qint64 nowMs)
{
    QString subject = text.section(u'\n', 0, 0);
    if (subject.size() > kSubjectChars)
        subject = subject.left(kSubjectChars - 1) + u'…';
    QByteArray toLine = "To: ";
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < to.size(); ++i) {
        const QByteArray address = to.at(i).toLatin1() + (i + 1 < to.size() ? "," : "");
        if (i > 0 && toLine.size() - lineStart + 1 + address.size() > 78) {
            toLine += "\r\n";
            lineStart = toLine.size();
        }
        toLine += (i > 0 ? " " : "") + address;
    }
    const QByteArray domain = from.section(u'@', 1).toLatin1();
    const QByteArray id
        = QCryptographicHash::hash(text.toUtf8() + to.join(u',').toUtf8(), QCryptographicHash::Sha256).toHex().left(12);
    QByteArray body = text.toUtf8();
    body.replace("\r\n", "\n").replace('\n', "\r\n");
    const QByteArray encoded = body.toBase64();
    QByteArray message = "Date: " + MailDate(nowMs) + "\r\nFrom: " + from.toLatin1() + "\r\n" + toLine + "\r\nSubject: "
        + EncodedWords(subject) + "\r\nMessage-ID: <patrol-lamp." + QByteArray::number(nowMs) + '.' + id + '@' + domain
        + ">\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
          "Content-Transfer-Encoding: base64\r\n\r\n";
    for (qsizetype i = 0; i < encoded.size(); i += kBodyLine)
        message += encoded.mid(i, kBodyLine) + "\r\n";
    return message;
}

QString SendNotifyTest(const NotifyTarget& target, const std::shared_ptr<std::atomic<bool>>& cancel)
{
    // The generic webhook's test is an empty batch.
    const NotifyRequest request
        = BuildNotifyRequest(target, NotifyTestText(), AlertJson({}), QDateTime::currentMSecsSinceEpoch());
    return DeliverNotifyRequest(target.kind, request, kNotifyTimeoutMs, cancel);
}

QStringList NotifyKindNames()
{
    QStringList names;
    for (const KindName& k : kKinds) {
        if (NotifyKindName(k.kind) == k.name) // "lark" is feishu's second name
            names.append(k.name);
    }
    return names;
}
