#include "http/curl_transfer.h"

#include "http/curl_global.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace CurlTransfer {

namespace {

// A raised cancel flag wakes the poll (CancelWakeup); the poll's own limit is only the fallback.
constexpr long long kIdlePollMs = 1000;

long long MsUntil(Clock::time_point then, Clock::time_point now)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(then - now).count();
}

// Idle libcurl handles of one kind, for any thread; what they keep open or allocated is the reason to keep them.
class HandlePool
{
public:
    using Make = void* (*)();
    using Drop = void (*)(void*);

    HandlePool(Make make, Drop drop, size_t maxIdle)
        : m_make(make)
        , m_drop(drop)
        , m_maxIdle(maxIdle)
    { }

    void* Take()
    {
        {
            std::lock_guard lock(m_mutex);
            if (!m_idle.empty()) {
                void* handle = m_idle.back();
                m_idle.pop_back();
                return handle;
            }
        }
        return m_make();
    }

    void Give(void* handle, bool reusable)
    {
        if (reusable) {
            std::lock_guard lock(m_mutex);
            if (m_idle.size() < m_maxIdle) {
                m_idle.push_back(handle);
                return;
            }
        }
        m_drop(handle);
    }

private:
    const Make m_make;
    const Drop m_drop;
    const size_t m_maxIdle;
    std::mutex m_mutex;
    std::vector<void*> m_idle;
};

// Never destroyed: libcurl's global cleanup may already have run at exit.
HandlePool& Multis()
{
    // Each idle handle keeps two descriptors open.
    static auto* pool = new HandlePool(
        [] { return static_cast<void*>(curl_multi_init()); }, [](void* multi) { curl_multi_cleanup(multi); }, 64);
    return *pool;
}

HandlePool& Easies()
{
    // About 25 kB each.
    static auto* pool = new HandlePool([] { return static_cast<void*>(curl_easy_init()); }, &curl_easy_cleanup, 256);
    return *pool;
}

} // namespace

CURLM* TakeMulti()
{
    return Multis().Take();
}

void GiveMulti(CURLM* multi, bool reusable)
{
    if (multi)
        Multis().Give(multi, reusable);
}

CURL* TakeEasy()
{
    return Easies().Take();
}

void GiveEasy(CURL* easy, bool reusable)
{
    if (!easy)
        return;
    if (reusable) {
        // Detached first: a share still counts the handle as a user and would refuse its own cleanup.
        curl_easy_setopt(easy, CURLOPT_SHARE, nullptr);
        curl_easy_reset(easy);
    }
    Easies().Give(easy, reusable);
}

CURLcode SetCommonOptions(CURL* easy)
{
    for (const CURLcode code : {
             curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L),
             OpenSocketsCloseOnExec(easy),
             // Dropping a transfer whose name lookup still runs must not wait for the lookup to give up.
             curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L),
             curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"),
             curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L),
             // libcurl would keep the store a handshake ended with in the multi handle for a day and put it over
             // the shared one (TrustStore) of the next handshake there: a pooled handle would go on trusting a
             // bundle since replaced.
             curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L),
         }) {
        if (code != CURLE_OK)
            return code;
    }
    return CURLE_OK;
}

void Times::Sample(CURL* easy, Clock::time_point now)
{
    curl_off_t at = 0;
    if (!Connected() && curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &at) == CURLE_OK && at > 0)
        connectedAt = now;
    if (Connected() && curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &at) == CURLE_OK && at != uploaded) {
        uploaded = at;
        lastUploadAt = now;
    }
}

std::optional<CURLcode> TakeResult(CURLM* multi, CURL* easy)
{
    std::optional<CURLcode> result;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
            result = message->data.result;
    }
    return result;
}

std::optional<CURLcode> Drive(CURLM* multi, CURL* easy, Clock::time_point until, Limits& limits)
{
    for (;;) {
        if (limits.Cancelled())
            return CURLE_ABORTED_BY_CALLBACK;
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            return CURLE_FAILED_INIT;
        if (const auto done = TakeResult(multi, easy))
            return done;
        const auto now = Clock::now();
        const auto phaseEnd = limits.PhaseEnd(now);
        if (phaseEnd && now >= *phaseEnd)
            return CURLE_OPERATION_TIMEDOUT;
        const long long left = MsUntil(until, now);
        if (left <= 0)
            return std::nullopt;
        long long waitMs = std::min(kIdlePollMs, left);
        if (phaseEnd)
            waitMs = std::clamp<long long>(MsUntil(*phaseEnd, now) + 1, 1, waitMs);
        if (curl_multi_poll(multi, nullptr, 0, int(waitMs), nullptr) != CURLM_OK)
            return CURLE_FAILED_INIT;
    }
}

} // namespace CurlTransfer
