#pragma once

#include "http/curl_transfer.h"

#include <atomic>
#include <memory>
#include <optional>

// A few threads that drive the transfers of many owners, each loop on one multi handle: one poll there serves
// hundreds of sockets, where a thread per transfer wakes for each event of its own (a fifth of a pass's CPU, see
// bench/README.md). The owner hands over its configured easy handle and waits for the end. Meanwhile libcurl's
// callbacks and the owner's Limits run on the loop's thread, so they must not take a lock the waiting owner holds,
// and the owner must not touch what they write until Finish returns.
namespace TransferLoop {

class Transfer;

// Starts `easy` (not in any multi handle) on a loop thread; a raised `cancel` ends it, as does Limits::Cancelled
// (looked at whenever the loop wakes) or the end of Limits::PhaseEnd (looked at every 100 ms, and when due). Null when no loop could be made: the caller then drives it itself.
std::shared_ptr<Transfer> Start(CURL* easy, CurlTransfer::Limits& limits, const std::atomic<bool>* cancel);

// Waits until the transfer ends and gives its result, as CurlTransfer::Drive does; when `until` comes first the
// transfer is ended there and the result is nullopt. Either way the easy handle is off the loop and the
// caller's again when this returns. Once only.
std::optional<CURLcode> Finish(const std::shared_ptr<Transfer>& transfer, CurlTransfer::Clock::time_point until);

// Starts the loops' threads now instead of at the first transfer; they live as long as the process.
void StartThreads();

} // namespace TransferLoop
