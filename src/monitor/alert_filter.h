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
