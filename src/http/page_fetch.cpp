#include "http/page_fetch.h"

#include "http/body_decoder.h"
#include "http/fetch_engines.h"

#include <algorithm>
#include <cmath>

int FetchTimeoutMs(const std::optional<double>& seconds)
{
    double value = seconds.value_or(0.0);
    if (!(std::fabs(value) > 1e-7))
        value = 120.0;
    // A day is far beyond any sensible page fetch and keeps the milliseconds in range.
    const double whole = std::trunc(std::clamp(value, -86400.0, 86400.0));
    if (whole < 1.0)
        return 60000;
    return int(whole) * 1000;
}

QString FetchPage(const QString& url, const FetchOptions& options, FetchResult* result)
{
    FetchResult local;
    FetchResult& out = result ? *result : local;

    EngineRequest request;
    request.url = url.section(u'#', 0, 0);
    request.method = options.method.value_or(QString());
    request.mode = options.mode.value_or(0);
    request.body = options.body;
    request.headers = options.headers;
    request.cookies = options.cookies;
    request.proxy = options.proxy;
    request.referrer = options.referrer;
    request.timeoutMs = FetchTimeoutMs(options.timeoutSeconds);
    request.charsetCode = options.charsetCode.value_or(kCharsetDetect);
    request.maxBodyBytes = options.maxBodyBytes.value_or(kDefaultMaxBodyBytes);
    request.cancel = options.cancel;

    if (options.useWinHttp.value_or(false))
        RunEngineA(request, out);
    else if (options.direct.value_or(false))
        RunEngineB(request, out);
    else
        RunEngineC(request, out);

    int charsetCode = request.charsetCode;
    if (charsetCode == kCharsetDetect && HeadersAnnounceUtf8(out.headers))
        charsetCode = kCharsetUtf8;
    out.charsetCode = charsetCode;
    return DecodeBody(out.body, charsetCode, out.headers);
}
