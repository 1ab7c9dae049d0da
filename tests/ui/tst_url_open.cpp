// Which list entries may reach the browser, and that nothing else is handed over.
#include "ui/url_open.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestUrlOpen : public QObject
{
    Q_OBJECT

private slots:
    void webAddresses_data();
    void webAddresses();
    void refused_data();
    void refused();
    void openGoesThroughTheHook();
};

void TestUrlOpen::webAddresses_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("expected");
    QTest::newRow("http") << u"http://www.example.com/a?b=1"_s << u"http://www.example.com/a?b=1"_s;
    QTest::newRow("https upper case") << u"HTTPS://Example.com/"_s << u"https://example.com/"_s;
    QTest::newRow("no scheme") << u"www.example.com/page.html"_s << u"http://www.example.com/page.html"_s;
    QTest::newRow("no scheme, port") << u"example.com:8080/x"_s << u"http://example.com:8080/x"_s;
    QTest::newRow("bare host and port") << u"127.0.0.1:81"_s << u"http://127.0.0.1:81"_s;
    QTest::newRow("spaces around") << u"  example.com  "_s << u"http://example.com"_s;
}

void TestUrlOpen::webAddresses()
{
    QFETCH(QString, entry);
    QFETCH(QString, expected);
    QCOMPARE(BrowsableUrl(entry).toString(), expected);
}

void TestUrlOpen::refused_data()
{
    QTest::addColumn<QString>("entry");
    QTest::newRow("empty") << QString();
    QTest::newRow("blank") << u"   "_s;
    QTest::newRow("file url") << u"file:///etc/passwd"_s;
    QTest::newRow("file, one slash") << u"file:/usr/bin/xterm"_s;
    QTest::newRow("absolute path") << u"/usr/bin/xterm"_s;
    QTest::newRow("windows path") << u"C:\\Windows\\system32\\calc.exe"_s;
    QTest::newRow("unc path") << u"\\\\server\\share\\run.bat"_s;
    QTest::newRow("javascript") << u"javascript:alert(1)"_s;
    QTest::newRow("mailto") << u"mailto:someone@example.com"_s;
    QTest::newRow("ftp") << u"ftp://example.com/"_s;
    QTest::newRow("other scheme") << u"ssh://example.com"_s;
    QTest::newRow("http without host") << u"http:///etc/passwd"_s;
    QTest::newRow("space inside") << u"exa mple.com"_s;
}

void TestUrlOpen::refused()
{
    QFETCH(QString, entry);
    QVERIFY2(BrowsableUrl(entry).isEmpty(), qPrintable(BrowsableUrl(entry).toString()));
}

void TestUrlOpen::openGoesThroughTheHook()
{
    QList<QUrl> opened;
    SetOpenUrlHook([&opened](const QUrl& url) { opened.append(url); });
    QVERIFY(OpenWebAddress(u"example.com"_s));
    QVERIFY(!OpenWebAddress(u"/bin/sh"_s));
    QVERIFY(!OpenWebAddress(QString()));
    SetOpenUrlHook({});
    QCOMPARE(opened, QList<QUrl> { QUrl(u"http://example.com"_s) });
}

QTEST_GUILESS_MAIN(TestUrlOpen)
#include "tst_url_open.moc"
