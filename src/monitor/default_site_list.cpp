#include "monitor/default_site_list.h"

using namespace Qt::StringLiterals;

QString DefaultSiteList()
{
    // A search engine, a host that cannot exist, a news portal and two pages on it.
    return u"https://www.bing.com/\r\n"
           u"http://www.no-such-site.invalid/\r\n"
           u"https://www.163.com/\r\n"
           u"https://news.163.com/domestic/\r\n"
           u"https://news.163.com/world/"_s;
}
