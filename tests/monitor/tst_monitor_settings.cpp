#include "monitor/monitor_settings.h"
#include "monitor/site_check.h"

#include <QTest>

#include <limits>

class TestMonitorSettings final : public QObject
{
    Q_OBJECT

private slots:
    void leadingInt_data();
    void leadingInt();
    void leadingDouble_data();
    void leadingDouble();
    void statusMatches_data();
    void statusMatches();
};

void TestMonitorSettings::leadingInt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << u"5"_s << 5;
    QTest::newRow("zero") << u"0"_s << 0;
    QTest::newRow("negative") << u"-3"_s << -3;
    QTest::newRow("letters") << u"abc"_s << 0;
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("trailing junk") << u" 12x"_s << 12;
    QTest::newRow("full-width digits are not digits") << u"１２"_s << 0;
    QTest::newRow("overflow saturates") << u"99999999999999999999"_s << std::numeric_limits<int>::max();
    QTest::newRow("negative overflow saturates") << u"-99999999999999999999"_s << std::numeric_limits<int>::min();
}

void TestMonitorSettings::leadingInt()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    QCOMPARE(LeadingInt(text), value);
}

void TestMonitorSettings::leadingDouble_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("integer") << u"100"_s << 100.0;
    QTest::newRow("half") << u"0.5"_s << 0.5;
    QTest::newRow("bare point") << u".25"_s << 0.25;
    QTest::newRow("empty") << QString() << 0.0;
    QTest::newRow("negative") << u"-1"_s << -1.0;
    QTest::newRow("letters") << u"abc"_s << 0.0;
    QTest::newRow("second point ends it") << u"1.5.3"_s << 1.5;
    QTest::newRow("no exponent") << u"1e3"_s << 1.0;
}

void TestMonitorSettings::leadingDouble()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(LeadingDouble(text), value);
    // Hundreds of digits must not turn into infinity, which would break the interval arithmetic.
    QVERIFY(std::isfinite(LeadingDouble(QString(400, u'9'))));
}

void TestMonitorSettings::statusMatches_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("codes");
    QTest::addColumn<bool>("matches");
    QTest::newRow("listed") << 301 << u"200|301|100|302"_s << true;
    QTest::newRow("not listed") << 404 << u"200|301|100|302"_s << false;
    QTest::newRow("no trimming") << 200 << u"200 |301"_s << false;
    QTest::newRow("prefix is not a match") << 20 << u"200"_s << false;
    QTest::newRow("no response against empty codes") << 0 << QString() << false;
    QTest::newRow("no response listed") << 0 << u"0|200"_s << true;
}

void TestMonitorSettings::statusMatches()
{
    QFETCH(int, status);
    QFETCH(QString, codes);
    QFETCH(bool, matches);
    QCOMPARE(StatusMatches(status, codes), matches);
}

QTEST_GUILESS_MAIN(TestMonitorSettings)
#include "tst_monitor_settings.moc"
