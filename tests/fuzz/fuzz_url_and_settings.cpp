// What the user types into the window: URLs, numbers, status codes. Normalised URLs keep their shape and
// normalising twice changes nothing; numbers parse without overflow; every status and duration has a text.
#include "http/http_client.h"
#include "monitor/duration_text.h"
#include "monitor/monitor_settings.h"
#include "monitor/site_check.h"
#include "monitor/status_codes.h"

#include "fuzz_input.h"

#include <algorithm>
#include <cmath>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    LoadStatusCodeList();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const quint8 flags = in.Byte();
    const QByteArray raw = in.Rest();
    const QString text = flags & 1 ? QString::fromLatin1(raw) : QString::fromUtf8(raw);

    const QString url = HttpClient::NormalizeUrl(text);
    FUZZ_CHECK(HttpClient::NormalizeUrl(url) == url);
    FUZZ_CHECK(!url.contains(u'#'));
    if (!text.isEmpty()) {
        FUZZ_CHECK(
            url.startsWith(u"http://"_s, Qt::CaseInsensitive) || url.startsWith(u"https://"_s, Qt::CaseInsensitive));
        // Only a prefix is added and only a fragment is cut.
        const QString kept = text.section(u'#', 0, 0);
        FUZZ_CHECK(url == kept || url == u"http://"_s + kept);
    } else {
        FUZZ_CHECK(url.isEmpty());
    }

    const int whole = LeadingInt(text);
    const double number = LeadingDouble(text);
    FUZZ_CHECK(!std::isnan(number));
    // Both read the same leading digits; the integer saturates where the double does not.
    if (std::fabs(number) < 1e9)
        FUZZ_CHECK(std::fabs(double(whole) - number) < 1.0 + 1e-6);

    const int status = int(qint64(whole) % 1000);
    FUZZ_CHECK(!StatusDescription(status).isEmpty());
    FUZZ_CHECK(StatusMatches(status, text) == text.split(u'|').contains(QString::number(status)));
    const qint64 ms = flags & 2 ? qint64(std::clamp(number, -9e18, 9e18)) : qint64(whole) * 1000;
    FUZZ_CHECK(!DurationText(ms, flags & 4).isEmpty());
    return 0;
}
