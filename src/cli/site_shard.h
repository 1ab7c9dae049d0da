#pragma once

#include <QString>
#include <QStringView>

// Splitting one site list over N processes: a site belongs to shard I when the stable hash of its trimmed URL
// text, modulo N, is I. The hash depends on the URL alone, so adding or removing a line moves no other site.
struct SiteShard
{
    int index = 0;
    int count = 1;
};

// 64-bit FNV-1a over the UTF-8 bytes, then a 64-bit finaliser: the same on every machine and every run
// (qHash is seeded per process).
quint64 StableUrlHash(QStringView url);

// "I/N" with 0 <= I < N <= 1000000; false on anything else.
bool ParseShardText(const QString& text, SiteShard* shard);

// The list's entries (monitor/site_list.h) that fall in the shard, CR LF separated.
QString FilterSiteList(const QString& listText, const SiteShard& shard);
