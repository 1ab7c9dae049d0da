#include "monitor/webhook_sender.h"

#include "http/cancel_wakeup.h"
#include "http/request_object.h"
#include "http/url_text.h"

#include <QList>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

constexpr int kRequestTimeoutMs = 10'000;
constexpr qint64 kShedReportMs = 60'000;

struct Body
{
    QByteArray bytes;
    int changes = 0;
};

} // namespace

struct WebhookSender::Worker
{
    QString url;
    WebhookSender* owner = nullptr;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Body> queue;
    qint64 queuedBytes = 0;
    int maxBodies = kMaxBodies;
    qint64 maxBytes = kMaxBytes;
    QList<int> delaysMs { 1000, 2000, 4000, 8000, 16000 };
    bool stop = false;
    bool finished = false;
    int lostAtEnd = 0;
    int drainMs = 0;
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
    std::thread thread;
    std::thread watchdog;

    // Empty when the body went out, else what went wrong.
    QString PostOnce(const QByteArray& body)
    {
        RequestObject request;
        request.SetCancelFlag(cancel);
        request.SetTimeouts(kRequestTimeoutMs, kRequestTimeoutMs, kRequestTimeoutMs, kRequestTimeoutMs);
        request.SetOption(RequestObject::EnableRedirects, false);
        request.Open(u"POST"_s, url, true);
        request.SetRequestHeader(u"Content-Type"_s, u"application/json; charset=utf-8"_s);
        request.Send(body);
        request.WaitForResponse(kRequestTimeoutMs / 1000);
        const int status = request.Status();
        if (status >= 200 && status < 300)
            return {};
        return status ? u"HTTP %1"_s.arg(status) : u"没有应答"_s;
    }

    // Raised from the owner's thread or the watchdog; the lock makes sure a waiting worker sees it.
    void Cancel()
    {
        CancelWakeup::Raise(*cancel);
        {
            std::lock_guard lock(mutex);
        }
        wake.notify_all();
    }

    void Tell(const QString& text, int changes)
    {
        QMetaObject::invokeMethod(
            owner,
            [o = owner, text, changes] {
                emit o->Undelivered(changes);
                emit o->Dropped(text);
            },
            Qt::QueuedConnection);
    }

    void Run()
    {
        while (true) {
            Body body;
            QList<int> delays;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stop || !queue.empty(); });
                if (queue.empty() || cancel->load())
                    break;
                body = std::move(queue.front());
                queue.pop_front();
                queuedBytes -= body.bytes.size();
                delays = delaysMs;
            }
            QString failure = PostOnce(body.bytes);
            for (int i = 0; !failure.isEmpty() && i < delays.size() && !cancel->load(); ++i) {
                std::unique_lock lock(mutex);
                if (wake.wait_for(lock, std::chrono::milliseconds(delays[i]), [this] { return cancel->load(); }))
                    break;
                lock.unlock();
                failure = PostOnce(body.bytes);
            }
            if (failure.isEmpty())
                continue;
            if (cancel->load()) {
                std::lock_guard lock(mutex);
                lostAtEnd += body.changes;
                break;
            }
            Tell(u"通知网址 %1 无法送达（%2），已放弃 %3 个状态变化。"_s.arg(RedactedNotifyUrl(url), failure)
                     .arg(body.changes),
                body.changes);
        }
        std::unique_lock lock(mutex);
        for (const Body& body : queue)
            lostAtEnd += body.changes;
        queue.clear();
        queuedBytes = 0;
        finished = true;
        const int lost = lostAtEnd;
        const QString text
            = lost ? u"通知网址 %1：%2"_s.arg(RedactedNotifyUrl(url), LeftAtEndText(lost, drainMs)) : QString();
        lock.unlock();
        wake.notify_all();
        if (lost)
            Tell(text, lost);
        QMetaObject::invokeMethod(
            owner, [o = owner, lost] { emit o->Drained(lost); }, Qt::QueuedConnection);
    }
};

WebhookSender::WebhookSender(const QString& url, QObject* parent)
    : QObject(parent)
    , m_worker(std::make_shared<Worker>())
{
    m_worker->url = url;
    m_worker->owner = this;
    m_worker->thread = std::thread([w = m_worker] { w->Run(); });
}

WebhookSender::~WebhookSender()
{
    Finish(kDrainMs);
}

bool WebhookSender::IsDeliverableUrl(const QString& url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() && (scheme == u"http"_s || scheme == u"https"_s) && !parsed.host().isEmpty();
}

QString WebhookSender::LeftAtEndText(int changes, int drainMs)
{
    return u"结束时仍有 %1 个状态变化未能送达（已尝试 %2 秒），已放弃。"_s.arg(changes).arg(drainMs / 1000.0);
}

void WebhookSender::Post(const QByteArray& body, int changes)
{
    if (m_draining) {
        emit Undelivered(changes);
        emit Dropped(
            u"通知网址 %1 已停止发送，%2 个状态变化未送达。"_s.arg(RedactedNotifyUrl(m_worker->url)).arg(changes));
        return;
    }
    int shed = 0;
    {
        std::lock_guard lock(m_worker->mutex);
        Worker& w = *m_worker;
        // A receiver that stays down must not cost memory without end: the oldest bodies make room.
        while (!w.queue.empty()
            && (qsizetype(w.queue.size()) >= w.maxBodies || w.queuedBytes + body.size() > w.maxBytes)) {
            ++m_shedBodies;
            shed += w.queue.front().changes;
            w.queuedBytes -= w.queue.front().bytes.size();
            w.queue.pop_front();
        }
        w.queue.push_back({ body, changes });
        w.queuedBytes += body.size();
    }
    m_worker->wake.notify_one();
    if (shed > 0) {
        m_shedChanges += shed;
        emit Undelivered(shed);
    }
    ReportShed(false);
}

void WebhookSender::ReportShed(bool now)
{
    if (m_shedChanges == 0 && m_shedBodies == 0)
        return;
    if (!now && m_shedReported.isValid() && m_shedReported.elapsed() < kShedReportMs)
        return;
    m_shedReported.start();
    const int changes = std::exchange(m_shedChanges, 0);
    const int bodies = std::exchange(m_shedBodies, 0);
    emit Dropped(u"通知网址 %1 积压过多，已丢弃最早的 %2 批共 %3 个状态变化。"_s.arg(RedactedNotifyUrl(m_worker->url))
                     .arg(bodies)
                     .arg(changes));
}

void WebhookSender::SetRetryDelays(QList<int> delaysMs)
{
    std::lock_guard lock(m_worker->mutex);
    m_worker->delaysMs = std::move(delaysMs);
}

void WebhookSender::SetQueueLimits(int maxBodies, qint64 maxBytes)
{
    std::lock_guard lock(m_worker->mutex);
    m_worker->maxBodies = maxBodies;
    m_worker->maxBytes = maxBytes;
}

void WebhookSender::Drain(int ms)
{
    if (m_draining)
        return;
    m_draining = true;
    ReportShed(true);
    {
        std::lock_guard lock(m_worker->mutex);
        m_worker->stop = true;
        m_worker->drainMs = ms;
    }
    m_worker->wake.notify_all();
    m_worker->watchdog = std::thread([w = m_worker, ms] {
        std::unique_lock lock(w->mutex);
        if (!w->wake.wait_for(lock, std::chrono::milliseconds(ms), [&w] { return w->finished; })) {
            lock.unlock();
            w->Cancel();
        }
    });
}

int WebhookSender::Finish(int ms)
{
    Drain(ms);
    if (m_worker->thread.joinable())
        m_worker->thread.join();
    if (m_worker->watchdog.joinable())
        m_worker->watchdog.join();
    std::lock_guard lock(m_worker->mutex);
    return m_worker->lostAtEnd;
}
