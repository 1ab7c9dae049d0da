#include "monitor/state_changes.h"

#include "http/url_text.h"
#include "monitor/check_result.h"
#include "monitor/monitoring_run.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

constexpr int kNamesShown = 5;

QString NameList(const QStringList& names)
{
    QString text = names.mid(0, kNamesShown).join(u'、');
    if (names.size() > kNamesShown)
        text += u" 等 %1 个"_s.arg(names.size());
    return text;
}

} // namespace

StateChangeCollector::StateChangeCollector(int collectMs, QObject* parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(collectMs);
    connect(&m_timer, &QTimer::timeout, this, &StateChangeCollector::FlushNow);
}

void StateChangeCollector::Feed(const CheckRecord& record)
{
    const AlertFilter::Verdict verdict = m_filter.Feed(record.url, record.normal, record.finishedAtMs);
    const int certDays = m_certs.Feed(record.url, record.certExpires, record.finishedAtMs);
    if (verdict == AlertFilter::Verdict::Quiet && certDays == 0)
        return;
    const StateChange change { record.url, record.normal, record.status, record.StatusText(), record.found,
        record.finishedAtMs, record.pass, record.certExpires, record.reason, record.reasonDetail,
        verdict == AlertFilter::Verdict::Reminder, 0 };
    if (verdict != AlertFilter::Verdict::Quiet)
        m_pending.append(change);
    if (certDays > 0) {
        m_pending.append(change);
        m_pending.last().reminder = false;
        m_pending.last().certWarnDays = certDays;
    }
    if (!m_timer.isActive())
        m_timer.start();
}

void StateChangeCollector::SeedAbnormal(const QStringList& urls)
{
    m_filter.SeedAbnormal(urls);
}

void StateChangeCollector::FlushNow()
{
    m_timer.stop();
    if (m_pending.isEmpty())
        return;
    QVector<StateChange> batch;
    batch.swap(m_pending);
    emit Batch(batch);
}

QString AlertText(const QVector<StateChange>& changes, qint64 nowSeconds)
{
    return AlertLines(changes, nowSeconds, [](const QString& url) { return url; }).join(u'\n');
}

QStringList AlertLines(
    const QVector<StateChange>& changes, qint64 nowSeconds, const std::function<QString(const QString&)>& shown)
{
    QStringList down;
    QStringList still;
    QStringList up;
    QStringList expiring;
    for (const StateChange& change : changes) {
        const QString url = shown(RedactedUrl(change.url));
        if (change.certWarnDays > 0) {
            const QString host = shown(QUrl(change.url).host());
            const QString date = QDateTime::fromSecsSinceEpoch(change.certExpires).toString(u"yyyy-MM-dd"_s);
            const qint64 left = change.certExpires - nowSeconds;
            expiring.append(left <= 0 ? u"%1（%2 已过期）"_s.arg(host, date)
                                      : u"%1（%2 到期，还剩 %3 天）"_s.arg(host, date).arg(left / 86'400));
        } else if (change.normal) {
            up.append(url);
        } else if (change.reason == FailureReason::None) {
            (change.reminder ? still : down).append(url);
        } else {
            (change.reminder ? still : down).append(u"%1（%2）"_s.arg(url, FailureReasonText(change.reason)));
        }
    }
    QStringList lines;
    if (!down.isEmpty())
        lines << u"%1 个网站不正常：%2"_s.arg(down.size()).arg(NameList(down));
    if (!still.isEmpty())
        lines << u"%1 个网站仍不正常：%2"_s.arg(still.size()).arg(NameList(still));
    if (!up.isEmpty())
        lines << u"%1 个网站恢复正常：%2"_s.arg(up.size()).arg(NameList(up));
    if (!expiring.isEmpty())
        lines << u"%1 个网站的证书即将到期：%2"_s.arg(expiring.size()).arg(NameList(expiring));
    return lines;
}

QByteArray AlertJson(const QVector<StateChange>& changes)
{
    QJsonArray array;
    for (const StateChange& change : changes) {
        if (change.certWarnDays > 0)
            continue;
        const QString reason = FailureReasonText(change.reason, change.reasonDetail);
        QJsonObject object {
            { u"url"_s, RedactedUrl(change.url) },
            { u"normal"_s, change.normal },
            { u"status"_s, change.status },
            { u"status_text"_s, change.statusText },
            { u"found"_s, change.found },
            { u"at_ms"_s, change.atMs },
            { u"pass"_s, change.pass },
            { u"cert_expires"_s, change.certExpires > 0 ? QJsonValue(change.certExpires) : QJsonValue() },
            { u"reason"_s, reason.isEmpty() ? QJsonValue() : QJsonValue(reason) },
            { u"reason_key"_s, reason.isEmpty() ? QJsonValue() : QJsonValue(FailureReasonKey(change.reason)) },
        };
        if (change.reminder)
            object.insert(u"reminder"_s, true);
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}
