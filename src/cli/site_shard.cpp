#include "cli/site_shard.h"

#include "monitor/site_list.h"

#include <QRegularExpression>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

constexpr int kMaxShards = 1000000;

} // namespace

quint64 StableUrlHash(QStringView url)
{
    quint64 hash = 14695981039346656037ULL;
    for (const char byte : url.toUtf8()) {
        hash ^= quint8(byte);
        hash *= 1099511628211ULL;
    }
    // FNV's low bits follow the last bytes too closely for "modulo N"; a 64-bit finaliser spreads them.
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53ULL;
    hash ^= hash >> 33;
    return hash;
}

bool ParseShardText(const QString& text, SiteShard* shard)
{
    static const QRegularExpression form(u"^([0-9]{1,7})/([0-9]{1,7})$"_s);
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    const int index = match.captured(1).toInt();
    const int count = match.captured(2).toInt();
    if (count < 1 || count > kMaxShards || index >= count)
        return false;
    *shard = SiteShard { index, count };
    return true;
}

QString FilterSiteList(const QString& listText, const SiteShard& shard)
{
    QString result;
    ForEachSiteEntry(listText, [&](QStringView url) {
        if (StableUrlHash(url) % quint64(shard.count) == quint64(shard.index)) {
            if (!result.isEmpty())
                result += u"\r\n"_s;
            result += url;
        }
        return true;
    });
    return result;
}
