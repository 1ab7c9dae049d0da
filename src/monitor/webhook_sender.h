#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// POSTs JSON bodies to one URL from a thread of its own, so an alert never holds up a check.
//
// Post() is for the owner's thread and only queues. The sender tries each body in order; a failure (no answer,
// or a status outside 2xx) is retried after 1, 2, 4, 8 and 16 s, then the body is dropped and Dropped(message)
// is emitted on the owner's thread through a queued call, the sender's only way back. Past 1000 queued bodies
// Post() drops the oldest and emits Dropped() at once.
// The destructor gives queued bodies a bounded time to go out, then cancels.
class WebhookSender final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebhookSender)

public:
    explicit WebhookSender(const QString& url, QObject* parent = nullptr);
    ~WebhookSender() override;

    void Post(const QByteArray& json);
    // Retry waits in milliseconds, tests shorten them.
    void SetRetryDelays(QList<int> delaysMs);
    // One delivery attempt on the sender's thread: empty when delivered, else why not (said in Dropped).
    // Default: POST the body as JSON, delivered on 2xx. Chat services build their own request and read the answer.
    using Attempt = std::function<QString(const QByteArray& body, const std::shared_ptr<std::atomic<bool>>& cancel)>;
    void SetAttempt(Attempt attempt);

    // How long the destructor lets queued bodies go out (default 5 s); 0 when replacing it on the main thread.
    void SetDrainOnExitMs(int ms) { m_drainMs = ms; }

signals:
    void Dropped(const QString& message);

private:
    struct Worker;
    std::shared_ptr<Worker> m_worker;
    int m_drainMs = 5000;
};
