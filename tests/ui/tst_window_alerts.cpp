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
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QDialogButtonBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScatterSeries>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>
#include <QTimer>
#include <QValueAxis>

#include <atomic>

using namespace Qt::StringLiterals;

class TestWindowAlerts final : public QObject
{
    Q_OBJECT

private slots:
    void flipGivesOneNotificationHistoryAndDetails();
    void settingsKeepAWrongAddress();
    void detailsChartRules();
};

// From the menu: a wrong address keeps the dialog open with what was typed and says why.
void TestWindowAlerts::settingsKeepAWrongAddress()
{
    MainWindow window(nullptr);
    window.show();
    auto* alerts = window.findChild<WindowAlerts*>();
    alerts->ShowMenu(window.SiteView(), window.mapToGlobal(QPoint(20, 300)));
    QMenu* menu = nullptr;
    QTRY_VERIFY((menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) != nullptr);
    QAction* settings = nullptr;
    for (QAction* action : menu->actions())
        if (action->text() == u"提醒与历史设置…"_s)
            settings = action;
    QVERIFY(settings);
    QStringList problems;
    bool stayedOpen = false;
    QTimer::singleShot(0, this, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        auto* url = dialog->findChild<QLineEdit*>(u"通知网址"_s);
        auto* ok = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        for (const QString& wrong : { u"ftp://hooks.example/x"_s, u"http://"_s }) {
            url->setText(wrong);
            ok->click();
            problems << dialog->findChild<QLabel*>(u"通知网址问题"_s)->text();
        }
        stayedOpen = dialog->isVisible() && url->text() == u"http://"_s;
        url->setText(u"https://hooks.example/patrol"_s);
        ok->click();
    });
    settings->trigger();
    QVERIFY(stayedOpen);
    QCOMPARE(
        problems, QStringList({ u"通知网址需要以 http:// 或 https:// 开头。"_s, u"通知网址里没有可用的主机名。"_s }));
    QCOMPARE(alerts->CurrentSettings().notifyUrl, u"https://hooks.example/patrol"_s);
}

// Hourly means: a missing hour is a gap, ticks every four hours on the hour; a long history has no span note.
void TestWindowAlerts::detailsChartRules()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 hour = now / 3'600'000 * 3'600'000;
    SiteDetailsDialog::Data data;
    data.history.known = true;
    data.history.sinceMs = now - 40LL * 24 * 3'600'000;
    data.history.uptime24h = data.history.uptime7d = data.history.uptime30d = 1;
    data.firstDataMs = data.history.sinceMs;
    for (const qint64 at : { hour - 5 * 3'600'000LL, hour - 4 * 3'600'000LL, hour - 2 * 3'600'000LL, hour })
        data.history.responseTimes24h.append({ at, 1234, 2000 });
    SiteDetailsDialog dialog(u"https://example.org/"_s, data, now);
    QVERIFY(!dialog.findChild<QLabel*>(u"正常率"_s)->text().contains(u"仅有"_s));
    QCOMPARE(dialog.findChild<QLabel*>(u"证书到期"_s)->text(), u"未知"_s);
    QChart* chart = dialog.findChild<QChartView*>(u"响应时间图"_s)->chart();
    QCOMPARE(chart->series().size(), 3); // hours -5 and -4, -2, 0
    auto* timeAxis = qobject_cast<QDateTimeAxis*>(chart->axes(Qt::Horizontal).constFirst());
    QCOMPARE(timeAxis->min().toMSecsSinceEpoch() % 3'600'000, 0);
    QCOMPARE(timeAxis->tickCount(), 7);
    auto* valueAxis = qobject_cast<QValueAxis*>(chart->axes(Qt::Vertical).constFirst());
    QCOMPARE(valueAxis->max(), 1400.0);
    QCOMPARE(SiteDetailsDialog::RoundAxis(0.5), std::make_pair(1.0, 2));
}

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
    // Minutes of this run, round ticks, the failed check marked apart; http has no certificate.
    QCOMPARE(details->findChild<QLabel*>(u"证书到期"_s)->text(), u"不适用"_s);
    QVERIFY2(details->findChild<QLabel*>(u"正常率"_s)->text().contains(u"24 小时 66.67 %（仅有 "_s),
        qPrintable(details->findChild<QLabel*>(u"正常率"_s)->text()));
    QChart* chart = details->findChild<QChartView*>(u"响应时间图"_s)->chart();
    auto* timeAxis = qobject_cast<QDateTimeAxis*>(chart->axes(Qt::Horizontal).constFirst());
    const qint64 span = timeAxis->min().msecsTo(timeAxis->max());
    QVERIFY(span >= 10 * 60'000 && span <= 60 * 60'000);
    QCOMPARE(timeAxis->min().time().second(), 0);
    QCOMPARE(span % (60'000LL * (timeAxis->tickCount() - 1)), 0);
    QCOMPARE(span / (timeAxis->tickCount() - 1) % 60'000, 0);
    int failed = 0;
    int timed = 0;
    for (QAbstractSeries* series : chart->series()) {
        if (series->type() == QAbstractSeries::SeriesTypeScatter)
            failed += static_cast<QScatterSeries*>(series)->count();
        else
            timed += static_cast<QLineSeries*>(series)->count();
    }
    QCOMPARE(failed, 1);
    QCOMPARE(timed, 2);
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
    QCOMPARE(rows.at(0).toArray().toVariantList(),
        QVariantList({ u"网址"_s, u"结果"_s, u"状态码"_s, u"状态"_s, u"找到位置"_s, u"响应毫秒"_s, u"原因"_s }));
    const QJsonArray second = rows.at(2).toArray();
    QCOMPARE(second.at(0).toString(), server.Url(u"/a,\"b\""_s));
    QCOMPARE(second.at(1).toString(), u"正常"_s);
    QCOMPARE(second.at(2).toString(), u"200"_s);
    bool isNumber = false;
    second.at(5).toString().toLongLong(&isNumber);
    QVERIFY2(isNumber, qPrintable(second.at(5).toString()));
    QCOMPARE(CsvExportPath(u"/tmp/list"_s), u"/tmp/list.csv"_s);
    QCOMPARE(CsvExportPath(u"/tmp/list.txt"_s), u"/tmp/list.txt"_s);

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
