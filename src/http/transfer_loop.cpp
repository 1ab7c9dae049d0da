#include "http/transfer_loop.h"

#include "http/cancel_wakeup.h"
#include "http/curl_global.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace TransferLoop {

using Clock = CurlTransfer::Clock;

namespace {

// Two loops keep both cores of a small machine busy; one alone is bound by a core (bench/README.md).
constexpr size_t kLoops = 2;
// How often the loop looks at every transfer's phase and cancel flag when nothing is due sooner.
constexpr auto kCheckPeriod = std::chrono::milliseconds(100);
// The poll's own fallback: a curl_multi_wakeup or a socket event usually comes first.
constexpr long long kIdlePollMs = 1000;

class Loop;

} // namespace

class Transfer
{
public:
    CURL* easy = nullptr;
    CurlTransfer::Limits* limits = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    Loop* loop = nullptr;
    // The rest under the loop's mutex.
    bool endRequested = false;
    bool done = false;
    std::optional<CURLcode> result;
    std::condition_variable ended;
};

namespace {

class Loop
{
public:
    Loop()
        : m_multi(curl_multi_init())
    {
        if (m_multi)
            std::thread([this] { Run(); }).detach();
    }

    bool IsValid() const { return m_multi != nullptr; }
    size_t Load() const { return m_load.load(std::memory_order_relaxed); }

    void Hand(const std::shared_ptr<Transfer>& transfer)
    {
        m_load.fetch_add(1, std::memory_order_relaxed);
        {
            std::lock_guard lock(m_mutex);
            m_incoming.push_back(transfer);
        }
        m_work.notify_one();
        curl_multi_wakeup(m_multi);
    }

    std::optional<CURLcode> Finish(Transfer& transfer, Clock::time_point until)
    {
        std::unique_lock lock(m_mutex);
        const auto isDone = [&transfer] { return transfer.done; };
        if (!transfer.ended.wait_until(lock, until, isDone)) {
            transfer.endRequested = true;
            curl_multi_wakeup(m_multi);
            transfer.ended.wait(lock, isDone);
        }
        return transfer.result;
    }

private:
    void Complete(Transfer& transfer, std::optional<CURLcode> result)
    {
        CancelWakeup::Unwatch(transfer.cancel, m_multi);
        curl_multi_remove_handle(m_multi, transfer.easy);
        {
            std::lock_guard lock(m_mutex);
            transfer.done = true;
            transfer.result = result;
        }
        transfer.ended.notify_all();
        m_load.fetch_sub(1, std::memory_order_relaxed);
    }

    // Takes what owners handed over or asked to end; waits while there is nothing at all to do.
    void TakeWork(std::vector<std::shared_ptr<Transfer>>& active)
    {
        std::vector<std::shared_ptr<Transfer>> incoming;
        {
            std::unique_lock lock(m_mutex);
            if (active.empty())
                m_work.wait(lock, [this] { return !m_incoming.empty(); });
            incoming.swap(m_incoming);
        }
        for (auto& transfer : incoming) {
            CancelWakeup::Watch(transfer->cancel, m_multi);
            if (curl_multi_add_handle(m_multi, transfer->easy) == CURLM_OK)
                active.push_back(std::move(transfer));
            else
                Complete(*transfer, CURLE_FAILED_INIT);
        }
        std::vector<std::shared_ptr<Transfer>> ending;
        {
            std::lock_guard lock(m_mutex);
            for (auto& transfer : active) {
                if (transfer->endRequested)
                    ending.push_back(transfer);
            }
        }
        for (auto& transfer : ending) {
            Complete(*transfer, std::nullopt);
            std::erase(active, transfer);
        }
    }

    void TakeDone(std::vector<std::shared_ptr<Transfer>>& active)
    {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            const auto it = std::find_if(active.begin(), active.end(),
                [easy = message->easy_handle](const auto& transfer) { return transfer->easy == easy; });
            if (it == active.end())
                continue;
            const std::shared_ptr<Transfer> transfer = *it;
            active.erase(it);
            Complete(*transfer, message->data.result);
        }
    }

    // Ends the transfers whose owner cancelled and, with `phases`, those whose phase ran out; gives the earliest
    // phase end left. A cancel test is a load or two, a phase test reads the handle's times.
    std::optional<Clock::time_point> CheckLimits(
        std::vector<std::shared_ptr<Transfer>>& active, Clock::time_point now, bool phases)
    {
        std::optional<Clock::time_point> earliest;
        for (size_t i = 0; i < active.size();) {
            Transfer& transfer = *active[i];
            std::optional<CURLcode> end;
            if (transfer.limits->Cancelled() || (transfer.cancel && transfer.cancel->load())) {
                end = CURLE_ABORTED_BY_CALLBACK;
            } else if (const auto phaseEnd = phases ? transfer.limits->PhaseEnd(now) : std::nullopt) {
                if (now >= *phaseEnd)
                    end = CURLE_OPERATION_TIMEDOUT;
                else
                    earliest = earliest ? std::min(*earliest, *phaseEnd) : *phaseEnd;
            }
            if (!end) {
                ++i;
                continue;
            }
            const std::shared_ptr<Transfer> ended = active[i];
            active.erase(active.begin() + std::ptrdiff_t(i));
            Complete(*ended, end);
        }
        return earliest;
    }

    void Run()
    {
        const CurlInUse inUse;
        std::vector<std::shared_ptr<Transfer>> active;
        Clock::time_point nextCheck = Clock::now();
        for (;;) {
            TakeWork(active);
            int running = 0;
            curl_multi_perform(m_multi, &running);
            TakeDone(active);
            Clock::time_point now = Clock::now();
            const bool phases = now >= nextCheck;
            const auto earliest = CheckLimits(active, now, phases);
            if (phases) {
                nextCheck = now + kCheckPeriod;
                if (earliest)
                    nextCheck = std::min(nextCheck, *earliest);
            }
            if (active.empty())
                continue;
            now = Clock::now();
            const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(nextCheck - now).count() + 1;
            curl_multi_poll(m_multi, nullptr, 0, int(std::clamp<long long>(waitMs, 1, kIdlePollMs)), nullptr);
        }
    }

    CURLM* m_multi = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::vector<std::shared_ptr<Transfer>> m_incoming;
    std::atomic<size_t> m_load { 0 };
};

std::array<Loop*, kLoops>& Loops()
{
    // Never destroyed: owners on threads that outlive main may still finish their transfers.
    static auto* loops = [] {
        EnsureCurlGlobalInit();
        auto* made = new std::array<Loop*, kLoops>;
        for (Loop*& loop : *made)
            loop = new Loop;
        return made;
    }();
    return *loops;
}

} // namespace

std::shared_ptr<Transfer> Start(CURL* easy, CurlTransfer::Limits& limits, const std::atomic<bool>* cancel)
{
    Loop* chosen = nullptr;
    for (Loop* loop : Loops()) {
        if (loop->IsValid() && (!chosen || loop->Load() < chosen->Load()))
            chosen = loop;
    }
    if (!chosen)
        return {};
    auto transfer = std::make_shared<Transfer>();
    transfer->easy = easy;
    transfer->limits = &limits;
    transfer->cancel = cancel;
    transfer->loop = chosen;
    chosen->Hand(transfer);
    return transfer;
}

std::optional<CURLcode> Finish(const std::shared_ptr<Transfer>& transfer, Clock::time_point until)
{
    return transfer ? transfer->loop->Finish(*transfer, until) : std::optional<CURLcode>(CURLE_FAILED_INIT);
}

void StartThreads()
{
    Loops();
}

} // namespace TransferLoop
