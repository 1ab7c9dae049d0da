#pragma once

#include "http/page_fetch.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>

// The page fetch engines. All run one libcurl transfer per call (no connection or session survives it),
// ignore certificate errors, follow up to 10 redirects between http and https (a POST turns into a GET on
// 301/302/303), time the connection and every gap by the time-out, end by FetchOverallLimitMs and at once when
// the cancel flag is raised through CancelWakeup::Raise (within a second when it is only set).

// What an engine is asked to do, already resolved from FetchOptions.
struct EngineRequest
{
    QString url; // fragment already cut
    QString method; // engine A; B and C take POST from mode 1
    int mode = 0;
    std::optional<QString> body;
    std::optional<QString> headers;
    std::optional<QString> cookies;
    std::optional<QString> proxy;
    std::optional<QString> referrer;
    int timeoutMs = 120000; // connecting and each gap; the whole transfer gets FetchOverallLimitMs
    int charsetCode = 0; // 2: request text goes out as UTF-8, otherwise GB18030
    qint64 maxBodyBytes = kDefaultMaxBodyBytes;
    std::shared_ptr<const std::atomic<bool>> cancel;
};

// Engine A: any of GET, POST, HEAD, PUT, OPTIONS, DELETE, TRACE, CONNECT; a failed step leaves its numbered text
// in result.error. Sends no stored cookies, only those given.
void RunEngineA(const EngineRequest& request, FetchResult& result);

// Engine B: on the calling thread. Cookies the servers set are kept in one process-wide store and sent with
// later engine-B requests to the same sites, as a browser session would.
void RunEngineB(const EngineRequest& request, FetchResult& result);

// Engine C, the default: the transfer runs on a thread of its own while the caller waits for it.
void RunEngineC(const EngineRequest& request, FetchResult& result);

// The texts of engine A's failing steps.
QString EngineAErrorText(int code);
