#include "monitor/site_list.h"

#include "http/url_text.h"

#include <QStringList>

using namespace Qt::StringLiterals;

std::vector<QStringView> SiteEntries(QStringView text)
{
    std::vector<QStringView> entries;
    ForEachSiteEntry(text, [&](QStringView entry) {
        entries.push_back(entry);
        return true;
    });
    return entries;
}

bool HasSiteEntries(QStringView text)
{
    bool found = false;
    ForEachSiteEntry(text, [&](QStringView) {
        found = true;
        return false;
    });
    return found;
}

bool IsNonWebEntry(QStringView entry)
{
    const QString scheme = UrlScheme(entry);
    return !scheme.isEmpty() && scheme != u"http"_s && scheme != u"https"_s;
}

std::vector<NumberedEntry> NonWebEntries(QStringView text)
{
    std::vector<NumberedEntry> found;
    int line = 1;
    qsizetype counted = 0;
    ForEachSiteEntry(text, [&](QStringView entry) {
        const qsizetype at = entry.data() - text.data();
        line += int(text.sliced(counted, at - counted).count(u'\n'));
        counted = at;
        if (IsNonWebEntry(entry))
            found.push_back({ line, entry });
        return true;
    });
    return found;
}

QString NonWebEntriesText(QStringView text, int shown)
{
    const std::vector<NumberedEntry> entries = NonWebEntries(text);
    QStringList parts;
    for (size_t i = 0; i < entries.size() && int(i) < shown; ++i)
        parts << u"第 %1 行：%2"_s.arg(entries[i].line).arg(entries[i].entry);
    if (int(entries.size()) > shown)
        parts << u"等 %1 个"_s.arg(entries.size());
    return parts.join(u'、');
}
