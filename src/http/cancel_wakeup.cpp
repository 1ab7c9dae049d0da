#include "http/cancel_wakeup.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// Every transfer watches and unwatches once; spread over shards, hundreds of workers rarely meet on a lock.
struct Shard
{
    std::mutex mutex;
    std::vector<std::pair<const std::atomic<bool>*, CURLM*>> watches;
};

constexpr size_t kShards = 64;

std::array<Shard, kShards>& Shards()
{
    // Never destroyed: worker threads may still unwatch while the process exits.
    static auto* shards = new std::array<Shard, kShards>;
    return *shards;
}

Shard& ShardOf(CURLM* multi)
{
    return Shards()[(reinterpret_cast<std::uintptr_t>(multi) >> 4) % kShards];
}

} // namespace

void CancelWakeup::Watch(const std::atomic<bool>* flag, CURLM* multi)
{
    if (!flag || !multi)
        return;
    Shard& shard = ShardOf(multi);
    std::lock_guard lock(shard.mutex);
    shard.watches.emplace_back(flag, multi);
}

void CancelWakeup::Unwatch(CURLM* multi)
{
    Shard& shard = ShardOf(multi);
    std::lock_guard lock(shard.mutex);
    auto& watches = shard.watches;
    for (size_t i = 0; i < watches.size(); ++i) {
        if (watches[i].second == multi) {
            watches[i] = watches.back();
            watches.pop_back();
            return;
        }
    }
}

void CancelWakeup::Raise(std::atomic<bool>& flag)
{
    flag.store(true);
    // A transfer that watched after this pass over its shard looks at the flag before it polls.
    for (Shard& shard : Shards()) {
        std::lock_guard lock(shard.mutex);
        for (const auto& [watched, multi] : shard.watches) {
            if (watched == &flag)
                curl_multi_wakeup(multi);
        }
    }
}
