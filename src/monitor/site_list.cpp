#include "monitor/site_list.h"

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
