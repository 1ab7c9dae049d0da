#include "http/page_budget.h"

#include <algorithm>
#include <unistd.h>

namespace {

constexpr int kDefaultConcurrency = 64;
// How often a waiting fetch looks at its cancel flag.
constexpr auto kCancelPoll = std::chrono::milliseconds(50);

qint64 MachineMemory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return 1024LL * 1024 * 1024;
    return qint64(pages) * pageSize;
}

qint64 ScaledCapacity(int fetches, qint64 smallShare, qint64 largeHold)
{
    const qint64 large = std::clamp<qint64>(MachineMemory() / 16 / largeHold, 1, PageBudget::kMaxLargeHolds);
    return qint64(std::max(fetches, 1)) * smallShare + large * largeHold;
}

} // namespace

PageBudget::PageBudget(qint64 smallShare, qint64 largeHold, qint64 capacity)
    : m_smallShare(smallShare)
    , m_largeHold(largeHold)
    , m_capacity(capacity)
{ }

PageBudget& PageBudget::Process()
{
    static PageBudget budget(kSmallShare, kLargeHold, ScaledCapacity(kDefaultConcurrency, kSmallShare, kLargeHold));
    return budget;
}

void PageBudget::SetConcurrency(int fetches)
{
    Configure(kSmallShare, kLargeHold, ScaledCapacity(fetches, kSmallShare, kLargeHold));
}

void PageBudget::Configure(qint64 smallShare, qint64 largeHold, qint64 capacity)
{
    {
        std::lock_guard lock(m_mutex);
        m_smallShare = std::max<qint64>(smallShare, 1);
        m_largeHold = std::max(largeHold, m_smallShare);
        m_capacity = std::max(capacity, m_largeHold + m_smallShare);
    }
    m_freed.notify_all();
}

bool PageBudget::Cover(Hold& hold, qint64 bytes, Deadline deadline, const std::atomic<bool>* cancel)
{
    if (bytes <= hold.bytes)
        return true;
    std::unique_lock lock(m_mutex);
    bool waited = false;
    for (;;) {
        if (bytes > m_largeHold)
            return false;
        const qint64 target = std::min(m_largeHold, (bytes + m_smallShare - 1) / m_smallShare * m_smallShare);
        const qint64 freeAfter = m_capacity - m_inUse - (target - hold.bytes);
        const qint64 largestAfter = std::max(target, m_holds.empty() ? 0 : *m_holds.rbegin());
        // Whatever is granted, the largest holder must still be able to reach the cap.
        if (freeAfter >= 0 && freeAfter >= m_largeHold - largestAfter) {
            if (hold.bytes > 0)
                m_holds.erase(m_holds.find(hold.bytes));
            m_holds.insert(target);
            m_inUse += target - hold.bytes;
            hold.bytes = target;
            m_peak = std::max(m_peak, m_inUse);
            if (waited)
                ++m_waits;
            return true;
        }
        waited = true;
        if ((cancel && cancel->load()) || std::chrono::steady_clock::now() >= deadline)
            return false;
        m_freed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + kCancelPoll));
    }
}

void PageBudget::Release(Hold& hold)
{
    if (hold.bytes == 0)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_inUse -= hold.bytes;
        m_holds.erase(m_holds.find(hold.bytes));
    }
    hold.bytes = 0;
    m_freed.notify_all();
}

qint64 PageBudget::LargestHold() const
{
    std::lock_guard lock(m_mutex);
    return m_largeHold;
}

qint64 PageBudget::Capacity() const
{
    std::lock_guard lock(m_mutex);
    return m_capacity;
}

qint64 PageBudget::InUse() const
{
    std::lock_guard lock(m_mutex);
    return m_inUse;
}

qint64 PageBudget::PeakInUse() const
{
    std::lock_guard lock(m_mutex);
    return m_peak;
}

qint64 PageBudget::Waits() const
{
    std::lock_guard lock(m_mutex);
    return m_waits;
}

void PageBudget::ResetPeak()
{
    std::lock_guard lock(m_mutex);
    m_peak = m_inUse;
}

PageBudgetHold::~PageBudgetHold()
{
    PageBudget::Process().Release(m_hold);
}

PageBudgetHold::PageBudgetHold(PageBudgetHold&& other) noexcept
    : m_hold(std::exchange(other.m_hold, {}))
{ }

PageBudgetHold& PageBudgetHold::operator=(PageBudgetHold&& other) noexcept
{
    if (this != &other) {
        PageBudget::Process().Release(m_hold);
        m_hold = std::exchange(other.m_hold, {});
    }
    return *this;
}

bool PageBudgetHold::Cover(qint64 bytes, PageBudget::Deadline deadline, const std::atomic<bool>* cancel)
{
    return PageBudget::Process().Cover(m_hold, bytes, deadline, cancel);
}
