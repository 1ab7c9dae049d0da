#pragma once

#include <QString>

// Why a check found a site abnormal, from what libcurl reports and from the verdict. A small fixed set, so a
// result keeps a number and metrics labels stay bounded; the numbers never change meaning.
enum class FailureReason : quint8 {
    None = 0,
    NameNotFound = 1,
    ConnectionRefused = 2,
    ConnectTimedOut = 3,
    ResponseTimedOut = 4,
    TlsUntrusted = 5,
    TlsExpired = 6,
    TlsWrongHost = 7,
    TlsFailed = 8,
    UnsupportedUrl = 9,
    ConnectFailed = 10,
    NoResponse = 11,
    StatusRejected = 12,
    KeywordMissing = 13,
    KeywordPresent = 14,
    PageIncomplete = 15,
};
inline constexpr int kFailureReasonCount = 16;

// What ended a transfer that gave no usable answer; None when it succeeded or was cancelled.
struct TransferFailure
{
    FailureReason reason = FailureReason::None;
    QString detail; // libcurl's or the TLS library's words, for TLS failures only
};

constexpr bool IsTlsFailure(FailureReason reason)
{
    return reason >= FailureReason::TlsUntrusted && reason <= FailureReason::TlsFailed;
}

// The reason for a finished transfer's libcurl code: `osErrno` is CURLINFO_OS_ERRNO, `verifyError` the first
// certificate verification error the handshake met (0 none), `connected` whether TCP and TLS had completed.
FailureReason ClassifyTransfer(int curlCode, long osErrno, long verifyError, bool connected);
