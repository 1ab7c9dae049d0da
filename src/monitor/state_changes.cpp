#include "monitor/state_changes.h"

#include "http/url_text.h"
#include "monitor/check_result.h"
#include "monitor/monitoring_run.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

constexpr int kNamesShown = 5;
constexpr qint64 kCertWarnSeconds = 14LL * 24 * 3600;

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
    auto it = m_lastNormal.find(record.url);
    const bool changed = it == m_lastNormal.end() ? !record.normal : *it != record.normal;
    if (it == m_lastNormal.end())
        m_lastNormal.insert(record.url, record.normal);
    else
        *it = record.normal;
    if (!changed)
        return;
    m_pending.append({ record.url, record.normal, record.status, record.StatusText(), record.found, record.finishedAtMs,
        record.pass, record.certExpires, record.reason, record.reasonDetail });
    if (!m_timer.isActive())
        m_timer.start();
}

void StateChangeCollector::SeedAbnormal(const QStringList& urls)
{
    for (const QString& url : urls) {
        if (!m_lastNormal.contains(url))
            m_lastNormal.insert(url, false);
    }
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
    QStringList down;
    QStringList up;
    QStringList expiring;
    for (const StateChange& change : changes) {
        if (change.normal)
            up.append(RedactedUrl(change.url));
        else if (change.reason == FailureReason::None)
            down.append(RedactedUrl(change.url));
        else
            down.append(u"%1（%2）"_s.arg(RedactedUrl(change.url), FailureReasonText(change.reason)));
        if (change.certExpires > 0 && change.certExpires - nowSeconds < kCertWarnSeconds)
            expiring.append(QUrl(change.url).host());
    }
    QStringList lines;
    if (!down.isEmpty())
        lines << u"%1 个网站不正常：%2"_s.arg(down.size()).arg(NameList(down));
    if (!up.isEmpty())
        lines << u"%1 个网站恢复正常：%2"_s.arg(up.size()).arg(NameList(up));
    if (!expiring.isEmpty())
        lines << u"证书 14 天内到期：%1"_s.arg(NameList(expiring));
    return lines.join(u'\n');
}

QByteArray AlertJson(const QVector<StateChange>& changes)
{
    QJsonArray array;
    for (const StateChange& change : changes) {
        const QString reason = FailureReasonText(change.reason, change.reasonDetail);
        array.append(QJsonObject {
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
        });
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}
