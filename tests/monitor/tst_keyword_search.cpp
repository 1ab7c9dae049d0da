#include "monitor/keyword_search.h"

#include <QRandomGenerator>
#include <QTest>
#include <QTextCodec>

#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

int Find(const QString& text, const QString& keywords, const KeywordSearchOptions& options = {}, bool* found = nullptr)
{
    KeywordSearchOutput output;
    const bool result = KeywordSearch(text, keywords, options, &output);
    if (found)
        *found = result;
    return result ? output.foundPosition : -1;
}

} // namespace

class TestKeywordSearch final : public QObject
{
    Q_OBJECT

private slots:
    void anyModeTakesListOrder();
    void allModeAndStopAtFirst();
    void letterCase();
    void wholeText();
    void foldedSearchAgreesWithReference();
    void separatorsAndEmptyKeywords();
    void positionsCountGb18030Bytes();
    void byteLengthMatchesCodec();
    void traditionalRetry();
};

void TestKeywordSearch::anyModeTakesListOrder()
{
    // BAR at byte 10, foo at byte 50: the first keyword in list order wins.
    const QString page = u"123456789BAR"_s + QString(37, u'.') + u"foo tail"_s;
    KeywordSearchOutput output;
    QVERIFY(KeywordSearch(page, u"foo|bar"_s, {}, &output));
    QCOMPARE(output.foundPosition, 50);
    QCOMPARE(output.matchedKeyword, u"foo"_s);
    QCOMPARE(output.keywords, QStringList({ u"foo"_s, u"bar"_s }));

    QCOMPARE(Find(page, u"missing|bar"_s), 10);
    QVERIFY(!KeywordSearch(page, u"missing|absent"_s, {}, &output));
    QCOMPARE(output.foundPosition, -1);
    QVERIFY(output.matchedKeyword.isEmpty());
    QVERIFY(!KeywordSearch(QString(), u"foo"_s));
}

void TestKeywordSearch::allModeAndStopAtFirst()
{
    const QString page = u"alpha beta gamma"_s;
    KeywordSearchOptions all;
    all.allMode = true;
    KeywordSearchOutput output;
    QVERIFY(KeywordSearch(page, u"gamma|alpha"_s, all, &output));
    QCOMPARE(output.foundPosition, 1); // the last keyword's position
    QVERIFY(output.matchedKeyword.isEmpty());

    QVERIFY(!KeywordSearch(page, u"alpha|delta|beta"_s, all, &output));
    QCOMPARE(output.foundPosition, -1);

    all.stopAtFirst = true;
    QVERIFY(KeywordSearch(page, u"beta|delta"_s, all, &output));
    QCOMPARE(output.foundPosition, 7);
    QCOMPARE(output.matchedKeyword, u"beta"_s);
    QVERIFY(!KeywordSearch(page, u"delta|beta"_s, all, &output));
}

void TestKeywordSearch::letterCase()
{
    const QString page = u"Welcome to the HOME Page of ÄÖ and ＡＢＣ"_s;
    QCOMPARE(Find(page, u"home page"_s), 16);
    QCOMPARE(Find(page, u"WELCOME"_s), 1);
    // Only ASCII letters fold.
    QCOMPARE(Find(page, u"äö"_s), -1);
    QCOMPARE(Find(page, u"ａｂｃ"_s), -1);
    QCOMPARE(Find(page, u"ÄÖ"_s), 29);

    KeywordSearchOptions exact;
    exact.caseInsensitive = false;
    QCOMPARE(Find(page, u"home"_s, exact), -1);
    QCOMPARE(Find(page, u"HOME"_s, exact), 16);
}

void TestKeywordSearch::wholeText()
{
    KeywordSearchOptions whole;
    whole.wholeText = true;
    QCOMPARE(Find(u"OK"_s, u"fail|ok"_s, whole), 1);
    QCOMPARE(Find(u"OK then"_s, u"ok"_s, whole), -1);
    whole.caseInsensitive = false;
    QCOMPARE(Find(u"OK"_s, u"ok"_s, whole), -1);
    QCOMPARE(Find(u"OK"_s, u"OK"_s, whole), 1);
}

void TestKeywordSearch::foldedSearchAgreesWithReference()
{
    // Small alphabets make near-misses and overlapping repeats common.
    const QString alphabet = u"aAbB中文é|"_s;
    auto fold = [](QString text) {
        for (QChar& c : text) {
            if (c >= u'A' && c <= u'Z')
                c = QChar(c.unicode() + 32);
        }
        return text;
    };
    QRandomGenerator random(20261208);
    QTextCodec* codec = QTextCodec::codecForName("GB18030");
    for (int round = 0; round < 3000; ++round) {
        QString text;
        QString keyword;
        for (int i = int(random.bounded(40)); i > 0; --i)
            text.append(alphabet.at(random.bounded(alphabet.size() - 1)));
        for (int i = 1 + int(random.bounded(5)); i > 0; --i)
            keyword.append(alphabet.at(random.bounded(alphabet.size() - 1)));
        const qsizetype at = fold(text).indexOf(fold(keyword));
        const int expected = at < 0 ? -1 : int(codec->fromUnicode(text.left(at)).size() + 1);
        QCOMPARE(Find(text, keyword), expected);
    }
}

void TestKeywordSearch::separatorsAndEmptyKeywords()
{
    const QString page = u"one,two|three"_s;
    KeywordSearchOptions comma;
    comma.separator = u","_s;
    KeywordSearchOutput output;
    QVERIFY(KeywordSearch(page, u"xx,two|three"_s, comma, &output));
    QCOMPARE(output.foundPosition, 5);
    QCOMPARE(output.keywords, QStringList({ u"xx"_s, u"two|three"_s }));

    KeywordSearchOptions multi;
    multi.separator = u"||"_s;
    QCOMPARE(Find(page, u"zz||three"_s, multi), 9);

    // Empty keywords are skipped, in both modes; nothing left to try is false.
    QCOMPARE(Find(page, u"||two|"_s), 5);
    KeywordSearchOptions all;
    all.allMode = true;
    QVERIFY(KeywordSearch(page, u"|one||three|"_s, all));
    QVERIFY(!KeywordSearch(page, QString(), all));
    QVERIFY(!KeywordSearch(page, u"|||"_s, all));
    QVERIFY(!KeywordSearch(page, QString()));
    QVERIFY(KeywordSearch(page, u"|"_s, {}, &output) == false && output.keywords.size() == 2);

    KeywordSearchOptions list;
    list.keywordsAsList = true;
    QVERIFY(KeywordSearch(page, u"ignored"_s, list, &output, { QString(), u"e,t"_s }));
    QCOMPARE(output.foundPosition, 3);
}

void TestKeywordSearch::positionsCountGb18030Bytes()
{
    // Two bytes per GBK character: 巡更灯 takes 6.
    QCOMPARE(Find(u"巡更灯 status ok"_s, u"status"_s), 8);
    QCOMPARE(Find(u"网页内容：找到了"_s, u"找到"_s), 11);
    // A supplementary character is four bytes, as is a BMP character outside GBK (U+0080).
    QCOMPARE(Find(u"😀x"_s, u"x"_s), 5);
    QCOMPARE(Find(QString(QChar(0x80)) + u"x"_s, u"x"_s), 5);

    // Same numbers as searching the GBK bytes themselves.
    QTextCodec* gbk = QTextCodec::codecForName("GBK");
    const QString page
        = u"<title>岚澈·巡更灯</title><p>监控网站是否正常，keyword 在这里</p>"_s.repeated(50) + u"末尾END"_s;
    for (const QString& keyword : { u"keyword"_s, u"在这里"_s, u"末尾end"_s, u"·"_s }) {
        const qsizetype byteIndex = gbk->fromUnicode(page.toLower()).indexOf(gbk->fromUnicode(keyword));
        QVERIFY(byteIndex >= 0);
        QCOMPARE(Find(page, keyword), int(byteIndex + 1));
    }
}

void TestKeywordSearch::byteLengthMatchesCodec()
{
    QTextCodec* codec = QTextCodec::codecForName("GB18030");
    QString all;
    for (char32_t c = 0; c < 0x10000; ++c) {
        if (c < 0xD800 || c > 0xDFFF)
            all.append(QChar(char16_t(c)));
    }
    all.append(u"😀𠀀"_s);
    QCOMPARE(Gb18030Length(all), codec->fromUnicode(all).size());

    // Prefix by prefix on mixed text, so no single width can hide behind the total.
    const QString mixed = u"a中€ḿ😀¥é\u00A0\uE000\uE766\uFFFD\uFEFFz"_s;
    for (qsizetype i = 0; i <= mixed.size(); ++i) {
        if (i > 0 && mixed.at(i - 1).isHighSurrogate())
            continue;
        QCOMPARE(Gb18030Length(QStringView(mixed).first(i)), codec->fromUnicode(mixed.left(i)).size());
    }
}

void TestKeywordSearch::traditionalRetry()
{
    const QString page = u"歡迎來到我們的網頁"_s;
    QCOMPARE(Find(page, u"网页"_s), -1);
    KeywordSearchOptions retry;
    retry.traditionalRetry = true;
    KeywordSearchOutput output;
    QVERIFY(KeywordSearch(page, u"缺失|网页"_s, retry, &output));
    QCOMPARE(output.foundPosition, 15);
    QCOMPARE(output.matchedKeyword, u"网页"_s);

    retry.wholeText = true;
    QCOMPARE(Find(u"網頁"_s, u"网页"_s, retry), 1);

    // One converter serves every worker thread.
    std::vector<std::thread> threads;
    std::atomic<int> wrong = 0;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 200; ++i) {
                if (ToTraditionalChinese(u"简体网页"_s) != u"簡體網頁"_s)
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(wrong.load(), 0);
}

QTEST_GUILESS_MAIN(TestKeywordSearch)
#include "tst_keyword_search.moc"
