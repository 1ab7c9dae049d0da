// Shards must agree across machines and runs, cover every site once, and stay balanced.

#include "cli/site_shard.h"

#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

class TestSiteShard final : public QObject
{
    Q_OBJECT

private slots:
    void hashIsFixedAcrossRuns();
    void everySiteInExactlyOneBalancedShard();
    void entriesSplitAndTrimAsTheRunDoes();
};

void TestSiteShard::hashIsFixedAcrossRuns()
{
    // Values from an independent implementation: a seeded or platform-dependent hash, or one over UTF-16
    // units instead of UTF-8 bytes, would move sites between machines.
    QCOMPARE(StableUrlHash(u""_s), 0xefd01f60ba992926ULL);
    QCOMPARE(StableUrlHash(u"http://a.test"_s), 0x579a9d78ff8ea25fULL);
    QCOMPARE(StableUrlHash(u"http://例子.中国/"_s), 0x44ef9e0b0fde0687ULL);
}

void TestSiteShard::everySiteInExactlyOneBalancedShard()
{
    constexpr int kSites = 20000;
    QStringList urls;
    for (int i = 0; i < kSites; ++i)
        urls << u"http://site%1.example.test/path?q=%2"_s.arg(i).arg(i * 7);
    const QString list = urls.join(u"\r\n"_s);

    for (const int count : { 2, 3, 4 }) {
        QStringList seen;
        for (int index = 0; index < count; ++index) {
            const QStringList part = FilterSiteList(list, { index, count }).split(u"\r\n"_s);
            const double share = double(kSites) / count;
            QVERIFY2(std::abs(part.size() - share) <= share * 0.05,
                qPrintable(u"%1/%2 holds %3"_s.arg(index).arg(count).arg(part.size())));
            seen += part;
        }
        std::sort(seen.begin(), seen.end());
        QStringList expected = urls;
        std::sort(expected.begin(), expected.end());
        QCOMPARE(seen, expected);
    }

    // Removing a line moves nobody else.
    const QString shorter = QStringList(urls.mid(1)).join(u"\r\n"_s);
    QStringList before = FilterSiteList(list, { 1, 3 }).split(u"\r\n"_s);
    before.removeAll(urls.first());
    QCOMPARE(FilterSiteList(shorter, { 1, 3 }).split(u"\r\n"_s), before);
}

void TestSiteShard::entriesSplitAndTrimAsTheRunDoes()
{
    const QString list = u"  http://a.test \u3000\r\n\r\nhttp://b.test|http://c.test\nhttp://d\re.test|"_s;
    QStringList all;
    for (int index = 0; index < 2; ++index)
        all += FilterSiteList(list, { index, 2 }).split(u"\r\n"_s, Qt::SkipEmptyParts);
    std::sort(all.begin(), all.end());
    QCOMPARE(all, QStringList({ u"http://a.test"_s, u"http://b.test"_s, u"http://c.test"_s, u"http://d\re.test"_s }));
    QCOMPARE(FilterSiteList(list, { 0, 1 }).split(u"\r\n"_s).size(), 4);

    SiteShard shard;
    QVERIFY(ParseShardText(u" 0/1 "_s, &shard));
    QVERIFY(!ParseShardText(u"-1/2"_s, &shard));
    QVERIFY(!ParseShardText(u"1/2/3"_s, &shard));
}

QTEST_GUILESS_MAIN(TestSiteShard)
#include "tst_site_shard.moc"
