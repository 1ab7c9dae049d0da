#include "http/transfer_failure.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>

FailureReason ClassifyTransfer(int curlCode, long osErrno, long verifyError, bool connected)
{
    switch (CURLcode(curlCode)) {
    case CURLE_OK:
    case CURLE_ABORTED_BY_CALLBACK:
        return FailureReason::None;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return FailureReason::UnsupportedUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return FailureReason::NameNotFound;
    case CURLE_COULDNT_CONNECT:
        if (osErrno == ECONNREFUSED)
            return FailureReason::ConnectionRefused;
        return osErrno == ETIMEDOUT ? FailureReason::ConnectTimedOut : FailureReason::ConnectFailed;
    case CURLE_OPERATION_TIMEDOUT:
        return connected ? FailureReason::ResponseTimedOut : FailureReason::ConnectTimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
        // A chain that verified but failed here was refused by libcurl's own host name check.
        if (verifyError == X509_V_OK || verifyError == X509_V_ERR_HOSTNAME_MISMATCH
            || verifyError == X509_V_ERR_IP_ADDRESS_MISMATCH)
            return FailureReason::TlsWrongHost;
        return verifyError == X509_V_ERR_CERT_HAS_EXPIRED ? FailureReason::TlsExpired : FailureReason::TlsUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_CACERT_BADFILE:
        return FailureReason::TlsFailed;
    default:
        return FailureReason::NoResponse;
    }
}
