#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <optional>

// What the request object and the page fetch do alike with a libcurl transfer: the options every easy handle of
// the program gets, and driving one easy handle on a multi handle from its owner's thread. The multi handle is the
// caller's, so a long-lived one (and a share handle set on the easy handle) can serve several transfers in turn.
namespace CurlTransfer {

using Clock = std::chrono::steady_clock;

// No signals, close-on-exec sockets, http and https only, no wait for a stuck resolver at the end, no proxy's
// CONNECT headers in the response.
CURLcode SetCommonOptions(CURL* easy);

// When the transfer reached its phases; the epoch means not yet. lastByteAt is the owner's callbacks' to write.
struct Times
{
    Clock::time_point startedAt;
    Clock::time_point connectedAt; // TCP, TLS and any proxy tunnel done
    Clock::time_point lastUploadAt; // the request body last moved on
    Clock::time_point lastByteAt; // a response byte last came
    curl_off_t uploaded = 0;

    // Reads the connection and the upload progress from the handle.
    void Sample(CURL* easy, Clock::time_point now);
    bool Connected() const { return connectedAt != Clock::time_point {}; }
};

// The owner's side of a drive: its cancel test and the end of the transfer's current phase (none: nullopt).
class Limits
{
public:
    virtual bool Cancelled() const = 0;
    virtual std::optional<Clock::time_point> PhaseEnd(Clock::time_point now) = 0;

protected:
    ~Limits() = default;
};

// Moves the transfer of `easy` (already added to `multi`) on until it ends, a phase runs out, the owner cancels or
// `until` passes. Gives the transfer's result once it ended: CURLE_ABORTED_BY_CALLBACK when cancelled,
// CURLE_OPERATION_TIMEDOUT when a phase ran out, CURLE_FAILED_INIT when the multi handle failed; nullopt when
// `until` came first and the transfer still runs. Waits in curl_multi_poll, which CancelWakeup wakes.
std::optional<CURLcode> Drive(CURLM* multi, CURL* easy, Clock::time_point until, Limits& limits);

// The result of `easy` if the multi handle reports it done.
std::optional<CURLcode> TakeResult(CURLM* multi, CURL* easy);

// Making a multi handle costs a socket pair and some hash tables. A handle whose transfers all named their host by
// address (or looked it up through a share) and left no connection in it holds nothing another transfer could
// reuse: GiveMulti(handle, true) keeps it for the next TakeMulti, on any thread; any other is closed.
// Null when libcurl cannot make one.
CURLM* TakeMulti();
void GiveMulti(CURLM* multi, bool reusable);

// Making an easy handle costs allocations of some kilobytes, once per request. GiveEasy(handle, true) detaches the
// handle's share, resets its options and keeps it for the next TakeEasy, on any thread; pass false for a handle
// that ever made a TLS connection without a share keeping its sessions, as its own session cache would carry one
// request's sessions into another's. Null when libcurl cannot make one.
CURL* TakeEasy();
void GiveEasy(CURL* easy, bool reusable);

} // namespace CurlTransfer
