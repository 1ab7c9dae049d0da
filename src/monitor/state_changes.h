#pragma once

#include "http/transfer_failure.h"
#include "monitor/alert_filter.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <functional>

struct CheckRecord;

// A site whose verdict differs from its last known one (or whose first check is abnormal).
struct StateChange
{
    QString url;
    bool normal = true;
    int status = 0;
    QString statusText;
    int found = 0;
    qint64 atMs = 0; // Unix milliseconds
    int pass = 0;
    qint64 certExpires = 0; // Unix seconds, 0 unknown
    FailureReason reason = FailureReason::None;
    QString reasonDetail;
    bool reminder = false; // still abnormal, told again
    int certWarnDays = 0; // not a change of state: the certificate came within this many days of expiry
};

// Turns finished checks into batches of state changes for alerts: changes are collected for a few seconds
// and leave as one batch, so a pass over 50,000 sites can't flood a desktop or a webhook. Main thread only.
class StateChangeCollector final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StateChangeCollector)

public:
    explicit StateChangeCollector(int collectMs, QObject* parent = nullptr);

    void Feed(const CheckRecord& record);
    // Confirm a change over this many checks in a row; remind every remindMs while abnormal (0: never).
    void SetRules(int confirmPasses, qint64 remindMs) { m_filter.SetRules(confirmPasses, remindMs); }
    // Known abnormal from an earlier run: their next abnormal check is no change. Sites seen already keep theirs.
    void SeedAbnormal(const QStringList& urls);
    // A certificate an earlier run saw at seenMs (the history): thresholds crossed then are not told again.
    void SeedCertificate(const QString& url, qint64 certExpires, qint64 seenMs)
    {
        m_certs.Seed(url, certExpires, seenMs);
    }
    // Sends what is collected now (end of a run).
    void FlushNow();

signals:
    void Batch(const QVector<StateChange>& changes);

private:
    AlertFilter m_filter;
    CertificateWatch m_certs;
    QVector<StateChange> m_pending;
    QTimer m_timer;
};

// "3 个网站不正常：a（连接被拒绝）、b、c" (at most five names, each with its reason, then the count of the rest), one
// line per kind of change (reminders: "仍不正常"), and the certificate warnings with expiry date and days left.
QString AlertText(const QVector<StateChange>& changes, qint64 nowSeconds);
// AlertText's lines, each address (already redacted) passed through shown: markdown puts it in a code span.
QStringList AlertLines(
    const QVector<StateChange>& changes, qint64 nowSeconds, const std::function<QString(const QString&)>& shown);
// The webhook body: a JSON array of {url, normal, status, status_text, found, at_ms, pass, cert_expires, reason,
// reason_key}; the reasons are null for a site that is normal; reminders with "reminder": true. Certificate
// warnings are no changes and stay out of it.
QByteArray AlertJson(const QVector<StateChange>& changes);

Q_DECLARE_METATYPE(StateChange)
