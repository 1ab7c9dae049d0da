#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// Decides which verdicts are worth telling people: a site's state counts as changed only once it has held for
// confirmPasses checks in a row (both ways), and while it stays abnormal a reminder may follow every remindMs.
// confirmPasses 1 and no reminders: every flip is told, as it always was. Main thread only.
class AlertFilter final
{
public:
    enum class Verdict { Quiet, Change, Reminder };

    void SetRules(int confirmPasses, qint64 remindMs);
    // A site not seen before counts as normal, so its first abnormal check starts the count.
    Verdict Feed(const QString& url, bool normal, qint64 atMs);
    // Told abnormal by an earlier run: staying so is no change, and the reminder clock starts at the first check.
    // Sites seen already keep their state.
    void SeedAbnormal(const QStringList& urls);

private:
    struct Site
    {
        bool told = true; // the state last told (normal at first)
        int streak = 0; // checks in a row that disagree with it
        qint64 toldAtMs = 0; // -1: seeded, set by the first check
    };
    QHash<QString, Site> m_sites;
    int m_confirm = 1;
    qint64 m_remindMs = 0;
};

// Certificate warnings once per threshold crossed, not every pass: a site's certificate is told when it first
// comes within 14 days of expiry, again within 3 days. Only sites inside a threshold are kept. A certificate
// with another expiry (renewed) starts over. Main thread only.
class CertificateWatch final
{
public:
    static constexpr int kDefaultDays[] = { 14, 3 };

    // The threshold (days) this check newly crossed, the smallest when several; 0: nothing to tell.
    int Feed(const QString& url, qint64 certExpires, qint64 atMs);
    // What an earlier run saw (the history): thresholds already crossed then are not told again.
    void Seed(const QString& url, qint64 certExpires, qint64 seenMs);
    static constexpr int kMaxDays = kDefaultDays[0];

private:
    static int Stage(qint64 certExpires, qint64 atMs); // thresholds crossed, 0 to 2

    struct Seen
    {
        qint64 expires = 0;
        int stage = 0;
    };
    QHash<QString, Seen> m_seen;
};
