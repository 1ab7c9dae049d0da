#pragma once

#include "http/transfer_failure.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <array>
#include <atomic>
#include <memory>

class TransferShare;

// The scriptable request object of one HttpClient, over one libcurl easy handle.
//
// Open(method, url, async) then Send(): a synchronous request does the whole transfer inside Send; an
// asynchronous one starts it in Send and WaitForResponse(seconds) carries it on for at most that long (it can
// be called again to wait longer). No thread is created: the transfer advances while its owner waits. A
// synchronous Send gives up after 120 s, whatever the server does.
// Nothing throws: every failure (no handle, DNS, refused, time-out, TLS, malformed reply) gives the empty
// value of the member (0, empty text, empty bytes, false).
//
// Time-outs (SetTimeouts, milliseconds; 0 = none), each over its own phase while the transfer is driven:
// resolve = the name lookup; connect = TCP, TLS and any proxy tunnel; send = each step of the request body;
// receive = from the request sent to the first response byte, then every gap between bytes. A transfer that
// overruns one ends with the empty result. There is no cap on the whole transfer beyond the caller's wait.
//
// Thread safety: one owner thread uses it; Abort() and the cancel flag may come from any thread.
class RequestObject final
{
public:
    // Option numbers that change the transfer; the others are kept and read back only.
    enum OptionNumber {
        UserAgentString = 0,
        Url = 1,
        SslErrorIgnoreFlags = 4,
        EnableRedirects = 6,
        EnableHttpsToHttpRedirects = 12,
        MaxAutomaticRedirects = 14,
        EnableHttp1_1 = 17,
    };
    // Flags of SslErrorIgnoreFlags.
    static constexpr int kIgnoreUnknownCa = 0x0100;
    static constexpr int kIgnoreWrongUsage = 0x0200;
    static constexpr int kIgnoreCertCnInvalid = 0x1000;
    static constexpr int kIgnoreCertDateInvalid = 0x2000;
    // SetProxy settings and SetCredentials flags.
    static constexpr int kProxyDefault = 0;
    static constexpr int kProxyDirect = 1;
    static constexpr int kProxyNamed = 2;
    static constexpr int kCredentialsForServer = 0;
    static constexpr int kCredentialsForProxy = 1;
    // Bodies beyond this are not kept: the transfer fails rather than eat the memory.
    static constexpr qsizetype kMaxBodyBytes = 32 * 1024 * 1024;

    RequestObject();
    ~RequestObject();
    RequestObject(const RequestObject&) = delete;
    RequestObject& operator=(const RequestObject&) = delete;

    bool IsValid() const; // false when libcurl could not make a handle
    // Nothing was opened, sent or set on it yet (a cancel flag aside): as good as a new one.
    bool IsUnused() const;

    void Open(const QString& method, const QString& url, bool async = false);
    void SetRequestHeader(const QString& name, const QString& value); // an empty value removes the header
    void Send();
    void Send(const QString& body); // sent as UTF-8
    void Send(const QByteArray& body);
    bool WaitForResponse(int seconds); // true once the whole response is in; negative: until the end, at most 120 s
    void Abort();

    int Status() const; // of the last response whose headers are complete, else 0
    QString StatusText() const;
    QString ResponseText() const; // body decoded by the Content-Type charset, UTF-8 when none
    QByteArray ResponseBody() const; // only after a complete, successful transfer
    QString GetResponseHeader(const QString& name) const;
    QString GetAllResponseHeaders() const; // "Name: value" lines, each ending in CR LF
    // When the server's certificate of the last https transfer expires (Unix seconds), read during the
    // handshake, also when verification refused it; 0 for http or when no certificate came.
    qint64 CertificateExpiry() const;
    // Why the last transfer gave no answer: its failure, or a time-out when the last wait ended before it did.
    TransferFailure Failure() const;

    QVariant Option(int number) const;
    void SetOption(int number, const QVariant& value);
    void SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs);
    std::array<int, 4> Timeouts() const; // resolve, connect, send, receive
    void SetProxy(int setting, const QString& server, const QString& bypassList = {});
    void SetCredentials(const QString& user, const QString& password, int flags = kCredentialsForServer);

    // The response body is read but not kept (a status probe does not need it).
    void SetDiscardBody(bool discard);
    // False for an object that sends once: its connection closes as the transfer ends instead of waiting for the
    // object's end, and the libcurl handles behind it can serve the next object. Default true.
    void SetKeepConnection(bool keep);
    // True: the transfer opens a connection of its own even when a shared one to the server is kept.
    void SetFreshConnection(bool fresh);
    // When the flag is raised through CancelWakeup::Raise, a running transfer ends at once with the empty result
    // (within a second when the flag is only set).
    void SetCancelFlag(std::shared_ptr<const std::atomic<bool>> flag);
    // Name lookups and TLS sessions shared with the owner's other transfers (none: the object's own).
    void SetShare(std::shared_ptr<TransferShare> share);

    struct Private;

private:
    std::unique_ptr<Private> d;
};
