#include "http/curl_global.h"

#include <curl/curl.h>

#include <cstdlib>
#include <mutex>

void EnsureCurlGlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_ALL);
        std::atexit([] { curl_global_cleanup(); });
    });
}
