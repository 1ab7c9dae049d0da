#include "http/trust_store.h"

#include "http/curl_global.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

namespace TrustStore {

namespace {

using Clock = std::chrono::steady_clock;

struct FileStamp
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};

    bool operator==(const FileStamp& other) const
    {
        return device == other.device && inode == other.inode && size == other.size
            && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
    }
};

std::optional<FileStamp> Stamp(const std::string& path)
{
    struct stat info
    {
    };
    if (path.empty() || ::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return FileStamp { info.st_dev, info.st_ino, info.st_size, info.st_mtim };
}

class Shared
{
public:
    static Shared& Instance()
    {
        // Never destroyed: connections on threads that outlive main may still ask for it.
        static auto* shared = new Shared;
        return *shared;
    }

    // The current store with a reference for the caller, or null when the bundle cannot be read.
    X509_STORE* Acquire()
    {
        std::lock_guard lock(m_mutex);
        if (!m_pathsKnown)
            FindCurlPaths();
        const auto stamp = Stamp(m_file);
        const bool stale = !m_store || !stamp || !(*stamp == m_stamp)
            || Clock::now() - m_loadedAt > std::chrono::seconds(kMaxAgeSeconds);
        if (stale && stamp)
            Load(*stamp);
        else if (!stamp)
            Drop();
        if (m_store)
            X509_STORE_up_ref(m_store);
        return m_store;
    }

    // Whether there is a store to install. The file is looked at only when there is none: the handshake's Acquire
    // looks at it anyway, and a request that never makes one (plain http) then costs no stat and no lock.
    bool Available()
    {
        if (m_available.load(std::memory_order_acquire))
            return true;
        X509_STORE* store = Acquire();
        X509_STORE_free(store);
        return store != nullptr;
    }

    void UseFile(const std::string& path)
    {
        std::lock_guard lock(m_mutex);
        Drop();
        m_pathsKnown = !path.empty();
        m_file = path;
        m_directory.clear();
    }

    int LoadCount()
    {
        std::lock_guard lock(m_mutex);
        return m_loads;
    }

private:
    void FindCurlPaths()
    {
        m_pathsKnown = true;
        EnsureCurlGlobalInit();
        CURL* easy = curl_easy_init();
        if (!easy)
            return;
        char* file = nullptr;
        char* directory = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &file) == CURLE_OK && file)
            m_file = file;
        if (curl_easy_getinfo(easy, CURLINFO_CAPATH, &directory) == CURLE_OK && directory)
            m_directory = directory;
        curl_easy_cleanup(easy);
    }

    void Load(const FileStamp& stamp)
    {
        X509_STORE* store = X509_STORE_new();
        if (!store || X509_STORE_load_file(store, m_file.c_str()) != 1) {
            X509_STORE_free(store);
            Drop();
            return;
        }
        // A missing directory only means fewer certificates, as for libcurl.
        if (!m_directory.empty())
            X509_STORE_load_path(store, m_directory.c_str());
        // libcurl's flags when it loads the store for a verifying connection.
        X509_STORE_set_flags(store, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
        Drop();
        m_store = store;
        m_available = true;
        m_stamp = stamp;
        m_loadedAt = Clock::now();
        ++m_loads;
    }

    void Drop()
    {
        // Connections that still use the old store hold their own reference.
        X509_STORE_free(m_store);
        m_store = nullptr;
        m_available = false;
    }

    std::mutex m_mutex;
    bool m_pathsKnown = false;
    std::string m_file;
    std::string m_directory;
    X509_STORE* m_store = nullptr;
    std::atomic<bool> m_available { false }; // m_store is set
    FileStamp m_stamp;
    Clock::time_point m_loadedAt;
    int m_loads = 0;
};

} // namespace

bool Prepare(CURL* easy)
{
    if (!Shared::Instance().Available())
        return false;
    return curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr) == CURLE_OK
        && curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr) == CURLE_OK;
}

void Install(SSL_CTX* ctx)
{
    // Between Prepare and the handshake the bundle may have gone: the context keeps its empty store and the
    // handshake fails verification, as it would with libcurl's own loading.
    if (X509_STORE* store = Shared::Instance().Acquire())
        SSL_CTX_set_cert_store(ctx, store); // takes the reference Acquire gave
}

int LoadCount()
{
    return Shared::Instance().LoadCount();
}

void UseBundleFile(const QString& path)
{
    Shared::Instance().UseFile(path.toStdString());
}

} // namespace TrustStore
