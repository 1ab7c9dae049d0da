#include "monitor/check_result.h"

#include "monitor/duration_text.h"
#include "monitor/status_codes.h"

#include <array>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

// The table lookup builds a string per table line, and a pass asks for the same few codes thousands of times.
QString CachedStatusDescription(int status)
{
    constexpr int kCachedCodes = 1000;
    // Before the table is loaded every code reads as unknown; that answer must not stick.
    if (status < 0 || status >= kCachedCodes || StatusCodeList().isEmpty())
        return StatusDescription(status);
    static std::mutex mutex;
    static std::array<QString, kCachedCodes> cache;
    std::lock_guard lock(mutex);
    QString& text = cache[size_t(status)];
    if (text.isNull())
        text = StatusDescription(status);
    return text;
}

} // namespace

QString StatusColumnText(bool byStatus, int status)
{
    return byStatus ? CachedStatusDescription(status) : u"无查询"_s;
}

QString FoundColumnText(bool byContent, int found, bool pageIncomplete)
{
    if (!byContent)
        return u"无查询"_s;
    if (found == -1)
        return pageIncomplete ? QString::fromUtf16(kPageIncompleteText) : u"找不到"_s;
    return QString::number(found);
}

QString CheckResult::StatusText() const
{
    return StatusColumnText(byStatus, status);
}

QString CheckResult::FoundText() const
{
    return FoundColumnText(byContent, found, pageIncomplete);
}

QString CheckResult::ResponseTime() const
{
    return DurationText(elapsedMs);
}

namespace {

struct ReasonNames
{
    const char16_t* text;
    const char16_t* key;
};

constexpr std::array<ReasonNames, kFailureReasonCount> kReasonNames { {
    { u"", u"" },
    { u"域名无法解析", u"name_not_found" },
    { u"连接被拒绝", u"connection_refused" },
    { u"连接超时", u"connect_timeout" },
    { u"等待响应超时", u"response_timeout" },
    { u"证书不受信任", u"tls_untrusted" },
    { u"证书已过期", u"tls_expired" },
    { u"证书与域名不符", u"tls_wrong_host" },
    { u"TLS 握手失败", u"tls_failed" },
    { u"不支持的网址", u"unsupported_url" },
    { u"无法连接", u"connect_failed" },
    { u"没有收到响应", u"no_response" },
    { u"状态码不符合条件", u"status_rejected" },
    { u"找不到关键字", u"keyword_missing" },
    { u"出现关键字", u"keyword_present" },
    { kPageIncompleteText, u"page_incomplete" },
} };

const ReasonNames& NamesOf(FailureReason reason)
{
    const auto index = size_t(reason);
    return kReasonNames[index < kReasonNames.size() ? index : 0];
}

} // namespace

QString FailureReasonText(FailureReason reason, const QString& detail)
{
    const QString text = QString::fromUtf16(NamesOf(reason).text);
    if (detail.isEmpty() || text.isEmpty())
        return text;
    return u"%1（%2）"_s.arg(text, detail);
}

QString FailureReasonKey(FailureReason reason)
{
    return QString::fromUtf16(NamesOf(reason).key);
}
