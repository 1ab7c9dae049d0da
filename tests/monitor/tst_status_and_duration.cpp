#include "monitor/duration_text.h"
#include "monitor/status_codes.h"

#include <QTest>

#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

class TestStatusAndDuration : public QObject
{
    Q_OBJECT

private slots:
    // Must run first: the list is process-wide and only ever filled once.
    void lookupBeforeTheListIsLoaded()
    {
        QVERIFY(StatusCodeList().isEmpty());
        QCOMPARE(StatusDescription(200), u"200|未明状态"_s);
        QCOMPARE(StatusDescription(0), u"0|未明状态"_s);
    }

    void tableHasEveryLineInOrder()
    {
        LoadStatusCodeList();
        const QStringList& list = StatusCodeList();
        QCOMPARE(list.size(), 42);
        QCOMPARE(list.first(), u"0|访问异常，没有信号"_s);
        QCOMPARE(list.at(2), u"101|服务器转到另外的协议(witching Protocols)"_s);
        QCOMPARE(list.last(), u"505|服务器不兼容该HTTP版本的请求(HTTP Version not supported)"_s);
        QVERIFY(!StatusCodeTableText().endsWith(u"\r\n"_s));
        int previous = -1;
        for (const QString& line : list) {
            QCOMPARE(line.count(u'|'), 1);
            QVERIFY(!line.contains(u'#'));
            const int code = line.section(u'|', 0, 0).toInt();
            QVERIFY2(code > previous, qPrintable(line));
            previous = code;
        }
        LoadStatusCodeList(); // a second load leaves the list as it is
        QCOMPARE(StatusCodeList().size(), 42);
    }

    void lookup_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no response") << 0 << u"0|访问异常，没有信号"_s;
        QTest::newRow("continue") << 100 << u"100|已响应初始请求，继续其余请求(Continue)"_s;
        QTest::newRow("ok") << 200 << u"200|访问正常(OK)"_s;
        QTest::newRow("not found") << 404 << u"404|该文档已经不存在(Not Found)"_s;
        QTest::newRow("prefix of 200") << 20 << u"20|未明状态"_s;
        QTest::newRow("prefix of 404") << 40 << u"40|未明状态"_s;
        QTest::newRow("absent 306") << 306 << u"306|未明状态"_s;
        QTest::newRow("absent 418") << 418 << u"418|未明状态"_s;
        QTest::newRow("unknown") << 999 << u"999|未明状态"_s;
        QTest::newRow("negative") << -1 << u"-1|未明状态"_s;
        QTest::newRow("negative matching a code's digits") << -200 << u"-200|未明状态"_s;
    }

    void lookup()
    {
        QFETCH(int, code);
        QFETCH(QString, expected);
        QCOMPARE(StatusDescription(code), expected);
    }

    void lookupFromManyThreads()
    {
        std::vector<std::thread> threads;
        std::atomic<int> wrong { 0 };
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 2000; ++i) {
                    if (!StatusDescription(404).startsWith(u"404|该文档"_s))
                        ++wrong;
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        QCOMPARE(wrong.load(), 0);
    }

    void shortForm_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << qint64(0) << u"0 毫秒"_s;
        QTest::newRow("250") << qint64(250) << u"250 毫秒"_s;
        QTest::newRow("999") << qint64(999) << u"999 毫秒"_s;
        QTest::newRow("1000") << qint64(1000) << u"1 秒"_s;
        QTest::newRow("1500") << qint64(1500) << u"1.5 秒"_s;
        QTest::newRow("1234 two decimals") << qint64(1234) << u"1.23 秒"_s;
        QTest::newRow("1235 rounds up") << qint64(1236) << u"1.24 秒"_s;
        QTest::newRow("unit before rounding") << qint64(59999) << u"60 秒"_s;
        QTest::newRow("one minute") << qint64(60000) << u"1 分"_s;
        QTest::newRow("90000") << qint64(90000) << u"1.5 分"_s;
        QTest::newRow("one hour") << qint64(3600000) << u"1 时"_s;
        QTest::newRow("36 hours") << qint64(36LL * 3600000) << u"1.5 天"_s;
        QTest::newRow("45 days") << qint64(45LL * 86400000) << u"1.5 月"_s;
        QTest::newRow("540 days") << qint64(540LL * 86400000) << u"1.5 年"_s;
        QTest::newRow("huge, no exponent") << qint64(360LL * 86400000 * 1000000) << u"1000000 年"_s;
        QTest::newRow("negative") << qint64(-5) << u"-5 毫秒"_s;
    }

    void shortForm()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, expected);
        QCOMPARE(DurationText(ms), expected);
    }

    void longForm()
    {
        QCOMPARE(DurationText(0, true), u"0 毫秒"_s);
        QCOMPARE(DurationText(999, true), u"999 毫秒"_s);
        QCOMPARE(DurationText(1000, true), u"1 秒"_s);
        QCOMPARE(DurationText(90061001, true), u"1 天 1 小时 1 分钟 1 秒 1 毫秒"_s);
        const qint64 day = 86400000;
        QCOMPARE(DurationText(360 * day + 30 * day + 2 * day, true), u"1 年 1 月 2 天"_s);
    }
};

QTEST_GUILESS_MAIN(TestStatusAndDuration)
#include "tst_status_and_duration.moc"
