#pragma once

#include <curl/curl.h>

// libcurl's global state is set up once per process, before the first handle on any thread. The clean-up at
// exit is skipped while a CurlInUse lives: a worker that ignored its cancel may still be inside a transfer.
void EnsureCurlGlobalInit();

// Held for as long as an easy handle may run; counts the live ones for the exit clean-up.
class CurlInUse final
{
public:
    CurlInUse();
    ~CurlInUse();
    CurlInUse(const CurlInUse&) = delete;
    CurlInUse& operator=(const CurlInUse&) = delete;
};

// The handle's connection sockets are opened close-on-exec (libcurl sets the flag on none of them).
CURLcode OpenSocketsCloseOnExec(CURL* easy);

// Sets close-on-exec on every descriptor above stderr: libcurl's internal socket pairs have it off. Called before
// another program is started, so that it inherits none of this one's sockets or files.
void MarkDescriptorsCloseOnExec();
