// The recorder against a real run on a loopback site: history, the batch at the run's end, the pass's progress.

#include "monitor/run_recorder.h"

#include "monitor/monitoring_run.h"
#include "monitor/status_codes.h"
#include "store/history_store.h"
#include "support/loopback_server.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestRunRecorder final : public QObject
{
    Q_OBJECT

private slots:
    void recordsHistoryChangesAndProgress();
};

void TestRunRecorder::recordsHistoryChangesAndProgress()
{
    LoadStatusCodeList();
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.SetHandler([](const LoopbackRequest& request) {
        return request.Path() == "/down" ? LoopbackResponse::Status(500) : LoopbackResponse::Ok();
    });
    QTemporaryDir dir;
    auto configure = [&](MonitoringRun& run, int passes) {
        MonitorSettings settings;
        settings.threadsText = u"1"_s;
        settings.intervalText = u"0"_s;
        run.SetSettings(settings);
        run.SetSiteListText(server.Url(u"/ok"_s) + u"\r\n"_s + server.Url(u"/down"_s));
        run.SetMaxPasses(passes);
    };
    MonitoringRun run;
    configure(run, 2);

    // A collecting time longer than the run: the batch can only come from the run's end.
    RunRecorder recorder(&run, 600'000);
    recorder.SetHistoryPath(dir.filePath(u"h.sqlite"_s));
    QSignalSpy changes(&recorder, &RunRecorder::Changes);
    QStringList progress;
    connect(&run, &MonitoringRun::PassFinished, this, [&] {
        const RunRecorder::Progress p = recorder.PassProgress();
        progress << u"%1 %2/%3 %4"_s.arg(p.pass).arg(p.done).arg(p.sites).arg(p.abnormal);
    });
    QSignalSpy finished(&run, &MonitoringRun::RunFinished);
    run.Click();
    QVERIFY(finished.wait(60'000));

    QCOMPARE(progress, QStringList({ u"1 2/2 1"_s, u"2 2/2 1"_s }));
    QCOMPARE(recorder.PassProgress().done, 2);
    QCOMPARE(changes.count(), 1);
    const auto batch = changes.at(0).at(0).value<QVector<StateChange>>();
    QCOMPARE(batch.size(), 1);
    QCOMPARE(batch.at(0).url, server.Url(u"/down"_s));

    // Replacing the file writes what was queued for the old one.
    recorder.SetHistoryPath({});
    const SiteHistory down = HistoryStore::ReadSite(
        dir.filePath(u"h.sqlite"_s), server.Url(u"/down"_s), QDateTime::currentMSecsSinceEpoch());
    QVERIFY(down.known && !down.normal);

    // A relaunch on the same file: the site still down is no news.
    MonitoringRun again;
    configure(again, 1);
    RunRecorder relaunched(&again, 600'000);
    relaunched.SetHistoryPath(dir.filePath(u"h.sqlite"_s));
    QSignalSpy changesAgain(&relaunched, &RunRecorder::Changes);
    QSignalSpy finishedAgain(&again, &MonitoringRun::RunFinished);
    again.Click();
    QVERIFY(finishedAgain.wait(60'000));
    QCOMPARE(changesAgain.count(), 0);
}

QTEST_GUILESS_MAIN(TestRunRecorder)
#include "tst_run_recorder.moc"
