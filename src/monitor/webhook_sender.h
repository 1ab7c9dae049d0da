#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// POSTs bodies to one URL from a thread of its own, so an alert never holds up a check. It knows nothing of what
// a body says: each comes with the number of state changes it carries, which is what losses are counted in.
//
// Post() is for the owner's thread and only queues. The sender tries each body in order; a failure (no answer,
// a redirect, a bad certificate or a status outside 2xx) is retried after 1, 2, 4, 8 and 16 s, then the body is
// given up. The queue holds at most kMaxBodies bodies and kMaxBytes bytes: past either, the oldest bodies go.
// Every change lost that way reaches the owner's thread as Undelivered(changes) at once and is said in a
// Dropped(message); queue overflow is said at most once a minute, summed.
// Drain() ends it: no more bodies, the queued ones get the given time, the rest is given up and Drained(lost)
// follows. Finish() does the same on the calling thread; the destructor finishes with kDrainMs.
class WebhookSender final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebhookSender)

public:
    static constexpr int kMaxBodies = 1000;
    static constexpr qint64 kMaxBytes = 16 * 1024 * 1024;
    // How long bodies still queued at the end keep being tried.
    static constexpr int kDrainMs = 10'000;

    explicit WebhookSender(const QString& url, QObject* parent = nullptr);
    ~WebhookSender() override;

    void Post(const QByteArray& body, int changes);
    // Retry waits in milliseconds, tests shorten them.
    void SetRetryDelays(QList<int> delaysMs);
    // One delivery attempt on the sender's thread: empty when delivered, else why not (said in Dropped).
    // Default: POST the body as JSON, delivered on 2xx. Chat services build their own request and read the answer.
    using Attempt = std::function<QString(const QByteArray& body, const std::shared_ptr<std::atomic<bool>>& cancel)>;
    void SetAttempt(Attempt attempt);
    void SetQueueLimits(int maxBodies, qint64 maxBytes);

    void Drain(int ms);
    // The changes that were still undelivered when the time was up.
    int Finish(int ms);

    // An http(s) URL with a host: anything else can never be delivered to.
    static bool IsDeliverableUrl(const QString& url);
    static QString LeftAtEndText(int changes, int drainMs);

signals:
    void Dropped(const QString& message);
    void Undelivered(int changes);
    void Drained(int undelivered);

private:
    void ReportShed(bool now);

    struct Worker;
    std::shared_ptr<Worker> m_worker;
    bool m_draining = false;
    int m_shedBodies = 0;
    int m_shedChanges = 0;
    QElapsedTimer m_shedReported;
};
