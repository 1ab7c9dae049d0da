#include "http/page_fetch.h"

// Stand-in until the engines land.
QString FetchPage(const QString&, const FetchOptions&, FetchResult* result)
{
    if (result)
        *result = {};
    return {};
}
