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

// The entries of a CR LF / LF / "|" separated list that fall in the shard, trimmed as the run trims them,
// CR LF separated. Blank entries are dropped.
QString FilterSiteList(const QString& listText, const SiteShard& shard);
