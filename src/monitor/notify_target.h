#pragma once

#include "monitor/state_changes.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <memory>

// Where alerts go besides the desktop: group robots, chat services and the generic JSON webhook. Each kind has
// its own payload, signature and way of saying "refused" (the robots answer 200 with an error code in the body).
enum class NotifyKind { Webhook, DingTalk, WeCom, Feishu, Telegram, Slack, Mail };

struct NotifyTarget
{
    NotifyKind kind = NotifyKind::Webhook;
    QString url;
    QString secret; // signing secret (DingTalk, Feishu) or the mail login's password; empty: unsigned
    bool markdown = false; // DingTalk and WeCom: a markdown message instead of plain text

    bool operator==(const NotifyTarget&) const = default;
};

// "URL" (kind from the host) or "KIND=URL" for self-hosted gateways. False with a message on anything else.
bool ParseNotifyTarget(const QString& text, NotifyTarget* target, QString* error);
QString NotifyKindName(NotifyKind kind); // "dingtalk", ... as in KIND=URL

// One POST as it goes on the wire.
struct NotifyRequest
{
    QString url;
    QByteArray body;
    QString secret {}; // mail: the password when the URL has none
};

// The request for one message. text is the message for people; json the generic webhook's body.
// nowMs is the signing time (Unix milliseconds): a pure function of its inputs.
NotifyRequest BuildNotifyRequest(const NotifyTarget& target, const QString& text, const QByteArray& json, qint64 nowMs);

// Mail: "smtp[s]://user:password@host[:port]/?from=a@x&to=b@y&to=c@z[&cafile=/path/ca.pem]". One message per
// batch to every recipient; STARTTLS on smtp:// is required.
struct MailRoute
{
    QString server; // scheme, host and port only
    QString user;
    QString password;
    QString from;
    QStringList to;
    QString caFile;
};
bool ParseMailUrl(const QString& url, MailRoute* route, QString* error);
// The whole message: the text's first line is the subject (RFC 2047 encoded words), the text the base64 body.
// Date and Message-ID come from nowMs, so it is a pure function of its inputs.
QByteArray MailMessage(const QString& from, const QStringList& to, const QString& text, qint64 nowMs);

// The services' published signatures, Base64 (not URL-encoded).
QString DingTalkSign(qint64 timestampMs, const QString& secret);
QString FeishuSign(qint64 timestampSeconds, const QString& secret);

// Empty when the answer means delivered, else why not, with the service's error code when it gave one.
QString CheckNotifyAnswer(NotifyKind kind, int status, const QByteArray& body);

inline constexpr int kNotifyTimeoutMs = 10'000;

// One attempt, on the calling thread, bounded by timeoutMs; empty on success, else why not.
QString DeliverNotifyRequest(NotifyKind kind, const NotifyRequest& request, int timeoutMs,
    const std::shared_ptr<std::atomic<bool>>& cancel = {});

// The message of one batch for people: what happened, since when, how many (long lists cut with "等 N 个").
QString NotifyText(const QVector<StateChange>& batch, qint64 nowSeconds);
// The same message as markdown for the robots that show it: every URL in a code span, so a hostile address
// can neither link nor format.
QString NotifyMarkdown(const QVector<StateChange>& batch, qint64 nowSeconds);
QString NotifyTestText();

// One test message to the target on the calling thread (the headless --notify-test and the window's test button
// share it); empty on success, else why not with the service's error code.
QString SendNotifyTest(const NotifyTarget& target, const std::shared_ptr<std::atomic<bool>>& cancel = {});
// Every kind once, by the name KIND=URL takes, in the order of the help text.
QStringList NotifyKindNames();
