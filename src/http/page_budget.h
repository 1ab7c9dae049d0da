#pragma once

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

// The bytes of page bodies held at once across the process. A fetch's hold grows in steps of one share as its
// body grows, so a page holds about what it needs. A fetch that cannot get budget waits (the server is not read
// meanwhile); our own wait never counts as the server's silence, only the whole-page limit bounds it. A grant is
// made only if the largest holder could still grow to the cap with what is left, so holders can never block each
// other for good: the largest can always finish and give its bytes back.
// Thread-safe; holds are released when the fetch's result is destroyed.
class PageBudget final
{
public:
    using Deadline = std::chrono::steady_clock::time_point;
    static constexpr qint64 kSmallShare = 256 * 1024;
    // Whole-cap pages the capacity has room for at most besides a share per fetch, and the cap of one hold.
    static constexpr int kMaxLargeHolds = 16;
    static constexpr qint64 kLargeHold = 16 * 1024 * 1024;

    PageBudget(qint64 smallShare, qint64 largeHold, qint64 capacity);
    Q_DISABLE_COPY_MOVE(PageBudget)

    // The one the page fetch uses, sized for the concurrency given last (64 until then).
    static PageBudget& Process();
    // Scales the process budget: a small share per concurrent fetch and as many large holds as a sixteenth of
    // the machine's memory allows (at least one, at most kMaxLargeHolds).
    void SetConcurrency(int fetches);
    void Configure(qint64 smallShare, qint64 largeHold, qint64 capacity);

    // One fetch's share; release it with Release() (FetchHold does).
    struct Hold
    {
        qint64 bytes = 0;
    };
    // Grows the hold to cover `bytes` body bytes (rounded up to a share), waiting while the budget is spent; false
    // when the deadline passes or `cancel` is raised first, or when `bytes` is beyond LargestHold().
    bool Cover(Hold& hold, qint64 bytes, Deadline deadline, const std::atomic<bool>* cancel);
    void Release(Hold& hold);

    qint64 LargestHold() const;
    qint64 Capacity() const;
    qint64 InUse() const;
    qint64 PeakInUse() const; // since the last ResetPeak()
    qint64 Waits() const; // grants that had to wait
    void ResetPeak();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_freed;
    qint64 m_smallShare;
    qint64 m_largeHold;
    qint64 m_capacity;
    qint64 m_inUse = 0;
    qint64 m_peak = 0;
    qint64 m_waits = 0;
    std::multiset<qint64> m_holds; // the size of every hold, for the largest
};

// Releases a fetch's budget when the body it covers is gone.
class PageBudgetHold final
{
public:
    PageBudgetHold() = default;
    ~PageBudgetHold();
    PageBudgetHold(PageBudgetHold&& other) noexcept;
    PageBudgetHold& operator=(PageBudgetHold&& other) noexcept;
    PageBudgetHold(const PageBudgetHold&) = delete;
    PageBudgetHold& operator=(const PageBudgetHold&) = delete;

    bool Cover(qint64 bytes, PageBudget::Deadline deadline, const std::atomic<bool>* cancel);
    qint64 Bytes() const { return m_hold.bytes; }

private:
    PageBudget::Hold m_hold;
};
