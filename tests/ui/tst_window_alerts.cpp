// The window's history, notifications, details view and CSV export against a real run on loopback sites.

#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "store/form_state_store.h"
#include "store/history_store.h"
#include "store/persistence.h"
#include "support/loopback_server.h"
#include "support/test_files.h"
#include "ui/csv_export.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/report_view.h"
#include "ui/site_details_dialog.h"
#include "ui/window_alerts.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <atomic>

using namespace Qt::StringLiterals;

class TestWindowAlerts final : public QObject
{
    Q_OBJECT

private slots:
    void flipGivesOneNotificationHistoryAndDetails();
};

void TestWindowAlerts::flipGivesOneNotificationHistoryAndDetails()
{
    MessageBox::SetAutoAnswer(QMessageBox::Ok);
    QStringList notifications;
    WindowAlerts::SetNotificationSink([&](const QString&, const QString& text) { notifications << text; });

    LoopbackServer server;
    QVERIFY(server.IsListening());
    auto flips = std::make_shared<std::atomic<int>>(0);
    server.SetHandler([flips](const LoopbackRequest& request) {
        if (request.Path() == "/flip")
            return flips->fetch_add(1) == 1 ? LoopbackResponse::Status(503) : LoopbackResponse::Ok();
        return LoopbackResponse::Ok();
    });

    QTemporaryDir dir;
    const QString ini = dir.filePath(u"岚澈·巡更灯.ini"_s);
    FormStateStore store;
    QVERIFY(store.SetFile(ini, 0));
    MainWindow window(&store);
    auto* alerts = window.findChild<WindowAlerts*>();
    QVERIFY(alerts);
    QCOMPARE(alerts->HistoryPath(), dir.filePath(u"岚澈·巡更灯.history.sqlite"_s));
    // One thread: a pass with no interval skips a row whose check of the pass before still runs.
    window.findChild<QLineEdit*>(Persist::kIntervalEdit)->setText(u"0"_s);
    window.findChild<QLineEdit*>(Persist::kThreadsEdit)->setText(u"1"_s);
    window.SetSiteListText(server.Url(u"/flip"_s) + u"\r\n"_s + server.Url(u"/a,\"b\""_s) + u"\r\n"_s);
    window.Run()->SetMaxPasses(3);
    QSignalSpy finished(window.Run(), &MonitoringRun::RunFinished);
    window.Run()->Click();
    QVERIFY(finished.wait(60'000));

    // Down and back up within the collecting time: one notification naming the site twice.
    QTRY_COMPARE_WITH_TIMEOUT(notifications.size(), 1, 10'000);
    QTest::qWait(WindowAlerts::kCollectMs + 500);
    QCOMPARE(notifications,
        QStringList({ u"1 个网站不正常：%1（状态码不符合条件）\n1 个网站恢复正常：%1"_s.arg(server.Url(u"/flip"_s)) }));

    // The details view opens from a middle click and lists both changes.
    QTest::qWait(200);
    ReportView* view = window.SiteView();
    QTest::mouseClick(view->viewport(), Qt::MiddleButton, {}, view->visualRect(view->model()->index(0, 0)).center());
    auto* details = window.findChild<SiteDetailsDialog*>();
    QVERIFY(details);
    QTRY_COMPARE(details->findChild<QListWidget*>(u"状态变化列表"_s)->count(), 2);
    QVERIFY(details->findChild<QListWidget*>(u"状态变化列表"_s)->item(0)->text().contains(u"恢复正常"_s));
    if (qEnvironmentVariableIsSet("PATROL_SCREENSHOT_DIR")) {
        details->resize(720, 600);
        details->show();
        QVERIFY(QTest::qWaitForWindowExposed(details));
        details->grab().save(qEnvironmentVariable("PATROL_SCREENSHOT_DIR") + u"/site-details.png"_s);
    }

    // CSV: a byte-order mark, then rows Python's csv module reads back with the quotes undone.
    const QString csvPath = dir.filePath(u"all.csv"_s);
    QVERIFY(WriteCsv(window.Run()->SiteModel(), csvPath));
    const QByteArray csv = FileBytes(csvPath);
    QVERIFY(csv.startsWith("\xEF\xBB\xBF"));
    QProcess python;
    python.start(u"python3"_s,
        { u"-c"_s,
            u"import csv, json, sys; print(json.dumps(list(csv.reader(open(sys.argv[1], encoding='utf-8-sig', "
            "newline='')))))"_s,
            csvPath });
    QVERIFY(python.waitForFinished(30'000));
    const QJsonArray rows = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.at(0).toArray().last().toString(), u"正常/不正常"_s);
    QCOMPARE(rows.at(2).toArray().at(0).toString(), server.Url(u"/a,\"b\""_s));
    QCOMPARE(rows.at(2).toArray().last().toString(), u"正常"_s);

    // The settings have a section of their own; 主界面 gains no key.
    WindowAlerts::Settings settings = alerts->CurrentSettings();
    settings.desktopNotifications = false;
    alerts->ApplySettings(settings);
    window.SaveForm();
    const QString text = QTextCodec::codecForName("GB18030")->toUnicode(FileBytes(ini));
    QVERIFY2(text.contains(u"[提醒与历史]"_s) && text.contains(u"桌面通知=假"_s), qPrintable(text));
    const qsizetype main = text.indexOf(u"[主界面]"_s);
    const QString mainSection = text.mid(main, text.indexOf(u"\n["_s, main + 1) - main);
    QVERIFY(main >= 0 && !mainSection.contains(Persist::kNotifyDesktopKey));
    WindowAlerts::SetNotificationSink({});
}

QTEST_MAIN(TestWindowAlerts)
#include "tst_window_alerts.moc"
