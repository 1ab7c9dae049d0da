#pragma once

#include <atomic>

#include <curl/curl.h>

// Wakes the transfers that wait in curl_multi_poll when their cancel flag is raised, so a waiting transfer need
// not wake every 100 ms to look at the flag: with hundreds of checks at once those wake-ups cost a tenth of the
// CPU of a pass. Raise flags through CancelWakeup::Raise; a flag set any other way is still seen within the
// transfers' fallback poll of a second.
namespace CancelWakeup {

// While watched, raising `flag` wakes `multi`. Watch before the first look at the flag, unwatch before the multi
// handle is cleaned up or serves another transfer.
void Watch(const std::atomic<bool>* flag, CURLM* multi);
void Unwatch(CURLM* multi);

// Sets the flag, then wakes every multi handle watching it.
void Raise(std::atomic<bool>& flag);

} // namespace CancelWakeup
