#include "http/transfer_share.h"

#include "http/curl_global.h"

std::shared_ptr<TransferShare> TransferShare::Make(bool connections)
{
    EnsureCurlGlobalInit();
    std::shared_ptr<TransferShare> share(new TransferShare);
    share->m_share = curl_share_init();
    if (!share->m_share)
        return {};
    TransferShare* self = share.get();
    if (curl_share_setopt(self->m_share, CURLSHOPT_LOCKFUNC, &TransferShare::Lock) != CURLSHE_OK
        || curl_share_setopt(self->m_share, CURLSHOPT_UNLOCKFUNC, &TransferShare::Unlock) != CURLSHE_OK
        || curl_share_setopt(self->m_share, CURLSHOPT_USERDATA, self) != CURLSHE_OK
        || curl_share_setopt(self->m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK
        || curl_share_setopt(self->m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK)
        return {};
    if (connections && curl_share_setopt(self->m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK)
        return {};
    self->m_connections = connections;
    return share;
}

TransferShare::~TransferShare()
{
    if (m_share)
        curl_share_cleanup(m_share);
}

CURLcode TransferShare::Attach(CURL* easy) const
{
    return curl_easy_setopt(easy, CURLOPT_SHARE, m_share);
}

void TransferShare::Lock(CURL*, curl_lock_data data, curl_lock_access, void* self)
{
    if (data >= 0 && data < CURL_LOCK_DATA_LAST)
        static_cast<TransferShare*>(self)->m_locks[size_t(data)].lock();
}

void TransferShare::Unlock(CURL*, curl_lock_data data, void* self)
{
    if (data >= 0 && data < CURL_LOCK_DATA_LAST)
        static_cast<TransferShare*>(self)->m_locks[size_t(data)].unlock();
}
