#include "http/curl_global.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Guards the count against the exit clean-up: a handle cannot start while libcurl's state is torn down.
std::mutex g_liveMutex;
int g_liveHandles = 0;

curl_socket_t OpenCloseOnExec(void*, curlsocktype, curl_sockaddr* address)
{
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

} // namespace

void EnsureCurlGlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // OpenSSL's own exit clean-up would free its locks under checks still running, or under a finished
        // worker's thread-exit hook: the process's end frees them.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        curl_global_init(CURL_GLOBAL_ALL);
        std::atexit([] {
            std::lock_guard lock(g_liveMutex);
            if (g_liveHandles == 0)
                curl_global_cleanup();
        });
    });
}

CurlInUse::CurlInUse()
{
    EnsureCurlGlobalInit();
    std::lock_guard lock(g_liveMutex);
    ++g_liveHandles;
}

CurlInUse::~CurlInUse()
{
    std::lock_guard lock(g_liveMutex);
    --g_liveHandles;
}

CURLcode OpenSocketsCloseOnExec(CURL* easy)
{
    return curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &OpenCloseOnExec);
}

void MarkDescriptorsCloseOnExec()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) {
        for (int fd = 3; fd < 1024; ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        return;
    }
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == own)
            continue;
        const int flags = ::fcntl(int(fd), F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC))
            ::fcntl(int(fd), F_SETFD, flags | FD_CLOEXEC);
    }
    ::closedir(dir);
}
