// The run's states and counts in the window's words; the run's tests check the states themselves.

#include "ui/run_texts.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestRunTexts final : public QObject
{
    Q_OBJECT

private slots:
    void wordsForStatesAndCounts();
};

void TestRunTexts::wordsForStatesAndCounts()
{
    using State = MonitoringRun::RunState;
    QCOMPARE(StartButtonCaption(State::Idle), u"开始监控"_s);
    QCOMPARE(StartButtonCaption(State::Running), u"停止监控"_s);
    QCOMPARE(StartButtonCaption(State::Stopping), u"停止中.."_s);
    QCOMPARE(StartButtonCaption(State::WaitingThreads), u"等待线程退出.."_s);
    QCOMPARE(SiteListHeader(20), u"全部网站（20 个）"_s);
    QCOMPARE(AbnormalListHeader(-1), u"不正常网站"_s);
    QCOMPARE(AbnormalListHeader(0), u"不正常网站（0 个）"_s);
    QCOMPARE(CheckCaption(u"窗口标题"_s, 1, 0), u"窗口标题 线程数：1,表项索引：0"_s);
}

QTEST_GUILESS_MAIN(TestRunTexts)
#include "tst_run_texts.moc"
