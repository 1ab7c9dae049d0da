#pragma once

#include <curl/curl.h>

#include <array>
#include <memory>
#include <mutex>

// What the transfers of one HttpClient share below HTTP: the addresses of the names they looked up and the TLS
// sessions of their servers, so the page fetch after the status request, and a retry, neither look the name up
// again nor make a full handshake. The requests stay separate, with their own headers and time-outs.
//
// Thread safe: libcurl locks each kind of data through one mutex here, whatever thread the transfer runs on.
// Every easy handle it is set on must be cleaned up or detached before the last reference goes.
class TransferShare final
{
public:
    // Null when libcurl cannot make a share handle; the transfers then go on unshared. With connections, a
    // connection the server keeps open is kept here and may carry the next transfer to it, whatever the multi
    // handle; such transfers must not run at once on different threads.
    static std::shared_ptr<TransferShare> Make(bool connections = false);
    ~TransferShare();
    TransferShare(const TransferShare&) = delete;
    TransferShare& operator=(const TransferShare&) = delete;

    CURLcode Attach(CURL* easy) const;
    bool SharesConnections() const { return m_connections; }

private:
    TransferShare() = default;
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self);
    static void Unlock(CURL*, curl_lock_data data, void* self);

    CURLSH* m_share = nullptr;
    bool m_connections = false;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> m_locks;
};
