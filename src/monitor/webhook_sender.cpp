#include "monitor/webhook_sender.h"

#include "http/cancel_wakeup.h"
#include "http/request_object.h"
#include "http/url_text.h"

#include <QList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

constexpr int kRequestTimeoutMs = 10'000;
constexpr int kMaxQueuedBodies = 1000;

} // namespace

struct WebhookSender::Worker
{
    QString url;
    WebhookSender* owner = nullptr;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<QByteArray> queue;
    QList<int> delaysMs { 1000, 2000, 4000, 8000, 16000 };
    bool stop = false;
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
    std::thread thread;

    bool PostOnce(const QByteArray& body)
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
        return status >= 200 && status < 300;
    }

    void Run()
    {
        while (true) {
            QByteArray body;
            QList<int> delays;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stop || !queue.empty(); });
                if (queue.empty())
                    return;
                body = queue.front();
                queue.pop_front();
                delays = delaysMs;
            }
            bool sent = PostOnce(body);
            for (int i = 0; !sent && i < delays.size() && !cancel->load(); ++i) {
                std::unique_lock lock(mutex);
                if (wake.wait_for(lock, std::chrono::milliseconds(delays[i]), [this] { return cancel->load(); }))
                    break;
                lock.unlock();
                sent = PostOnce(body);
            }
            if (!sent) {
                const QString text = u"通知网址 %1 无法送达，已放弃这批状态变化。"_s.arg(RedactedNotifyUrl(url));
                QMetaObject::invokeMethod(
                    owner, [o = owner, text] { emit o->Dropped(text); }, Qt::QueuedConnection);
            }
        }
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
    {
        std::lock_guard lock(m_worker->mutex);
        m_worker->stop = true;
    }
    m_worker->wake.notify_all();
    // Bodies already queued get a short while; a receiver that is down must not hold up the exit.
    std::thread watchdog;
    auto done = std::make_shared<std::atomic<bool>>(false);
    watchdog = std::thread([w = m_worker, done, drainMs = m_drainMs] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(drainMs);
        while (!done->load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        CancelWakeup::Raise(*w->cancel);
        w->wake.notify_all();
    });
    m_worker->thread.join();
    done->store(true);
    watchdog.join();
}

void WebhookSender::Post(const QByteArray& json)
{
    bool full = false;
    {
        std::lock_guard lock(m_worker->mutex);
        full = m_worker->queue.size() >= size_t(kMaxQueuedBodies);
        if (full)
            m_worker->queue.pop_front();
        m_worker->queue.push_back(json);
    }
    m_worker->wake.notify_one();
    // A receiver that stays down must not cost memory without end, nor lose changes without a word.
    if (full)
        emit Dropped(u"通知网址 %1 积压过多，已放弃最早的一批状态变化。"_s.arg(RedactedNotifyUrl(m_worker->url)));
}

void WebhookSender::SetRetryDelays(QList<int> delaysMs)
{
    std::lock_guard lock(m_worker->mutex);
    m_worker->delaysMs = std::move(delaysMs);
}
