// The one entry rule the window's run, the list file and the shards share.

#include "monitor/site_list.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestSiteList final : public QObject
{
    Q_OBJECT

private slots:
    void splitsAndTrims();
    void blankListsHaveNoEntries();
    void namesNonWebEntriesByLine();
};

namespace {

QStringList Entries(const QString& text)
{
    QStringList list;
    for (const QStringView entry : SiteEntries(text))
        list << entry.toString();
    return list;
}

} // namespace

void TestSiteList::splitsAndTrims()
{
    QCOMPARE(Entries(u"  a \u3000\r\n\r\nb|c\nd\re|\tf\t|\r"_s),
        QStringList({ u"a"_s, u"b"_s, u"c"_s, u"d\re"_s, u"\tf\t"_s, u"\r"_s }));
    // A CR belongs to the separator only right before the LF.
    QCOMPARE(Entries(u"a\r\r\nb\r"_s), QStringList({ u"a\r"_s, u"b\r"_s }));
    QCOMPARE(Entries(u"|a||b|"_s), QStringList({ u"a"_s, u"b"_s }));
}

void TestSiteList::blankListsHaveNoEntries()
{
    for (const QString& blank : { u""_s, u"  \r\n\u3000|\r\n"_s, u"\n\n|"_s })
        QVERIFY2(!HasSiteEntries(blank), qPrintable(blank));
    QVERIFY(HasSiteEntries(u" \r\n x"_s));
    // A lone CR is an entry the run checks, so it is not a blank list either.
    QVERIFY(HasSiteEntries(u" \r "_s));
}

void TestSiteList::namesNonWebEntriesByLine()
{
    const QString list
        = u"http://a.test\r\nFTP://b.test|localhost:8080/x\n\n javascript:alert(1)\r\nhttps://c|file:///etc"_s;
    QCOMPARE(NonWebEntriesText(list), u"第 2 行：FTP://b.test、第 4 行：javascript:alert(1)、第 5 行：file:///etc"_s);
    QCOMPARE(NonWebEntriesText(list, 1), u"第 2 行：FTP://b.test、等 3 个"_s);
    QVERIFY(NonWebEntriesText(u"a.test:81|http://b"_s).isEmpty());
}

QTEST_GUILESS_MAIN(TestSiteList)
#include "tst_site_list.moc"
