#include "cli/site_shard.h"

#include <QRegularExpression>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

constexpr int kMaxShards = 1000000;

// The run trims spaces and full-width spaces only; a shard must see the same URL text the run checks.
QStringView TrimmedEntry(QStringView entry)
{
    auto blank = [](QChar c) { return c == u' ' || c == u'\u3000'; };
    qsizetype begin = 0;
    qsizetype end = entry.size();
    while (begin < end && blank(entry.at(begin)))
        ++begin;
    while (end > begin && blank(entry.at(end - 1)))
        --end;
    return entry.mid(begin, end - begin);
}

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
    qsizetype begin = 0;
    const qsizetype size = listText.size();
    while (begin <= size) {
        qsizetype end = begin;
        while (end < size && listText.at(end) != u'\n' && listText.at(end) != u'|')
            ++end;
        // As in the run, a CR belongs to the separator only right before an LF.
        const qsizetype entryEnd
            = (end < size && listText.at(end) == u'\n' && end > begin && listText.at(end - 1) == u'\r') ? end - 1 : end;
        const QStringView url = TrimmedEntry(QStringView(listText).mid(begin, entryEnd - begin));
        if (!url.isEmpty() && StableUrlHash(url) % quint64(shard.count) == quint64(shard.index)) {
            if (!result.isEmpty())
                result += u"\r\n"_s;
            result += url;
        }
        begin = end + 1;
    }
    return result;
}
