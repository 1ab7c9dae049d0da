// The window's history, notifications, details view and CSV export against a real run on loopback sites.

#include "monitor/alert_settings.h"
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
#include "ui/notify_settings_dialog.h"
#include "ui/report_view.h"
#include "ui/site_details_dialog.h"
#include "ui/window_alerts.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QComboBox>
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
#include <QSpinBox>
#include <QTableWidget>
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
    void settingsDialogTargetsTestsAndIni();
    void detailsChartRules();
};

// An older ini's single URL, the 提醒设置 button, a target added with a wrong address first, a test answered and one
// refused, the noise rules; all of it back from the ini, no removed secret left in it, the file its owner's only.
void TestWindowAlerts::settingsDialogTargetsTestsAndIni()
{
    LoopbackServer robots;
    QVERIFY(robots.IsListening());
    robots.Route("/refuses", LoopbackResponse::Ok(R"({"errcode":310000,"errmsg":"sign not match"})"));
    robots.Route("/stall", LoopbackResponse::Stall());
    QTemporaryDir dir;
    const QString ini = dir.filePath(u"岚澈·巡更灯.ini"_s);
    const QString oldUrl = robots.Url(u"/hook?token=abc"_s);
    QVERIFY(
        WriteFileBytes(ini, QTextCodec::codecForName("GB18030")->fromUnicode(u"[提醒与历史]\r\n通知网址="_s + oldUrl)));
    QVERIFY(QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    FormStateStore store;
    QVERIFY(store.SetFile(ini, 0));
    MainWindow window(&store);
    window.show();
    auto* alerts = window.findChild<WindowAlerts*>();
    const QList<NotifyTarget> old { { NotifyKind::Webhook, oldUrl, {} } };
    QCOMPARE(alerts->CurrentSettings().targets, old);
    QCOMPARE(int(QFile::permissions(ini) & 0x0077), 0); // its token is a secret: narrowed at the start

    window.findChild<QPushButton*>(u"打开提醒设置"_s)->click();
    auto* dialog = window.findChild<NotifySettingsDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    auto* table = dialog->findChild<QTableWidget*>(u"通知目标列表"_s);
    auto* url = dialog->findChild<QLineEdit*>(u"通知网址"_s);
    auto* problem = dialog->findChild<QLabel*>(u"通知网址问题"_s);
    auto* add = dialog->findChild<QPushButton*>(u"添加通知目标"_s);
    QCOMPARE(table->item(0, NotifySettingsDialog::UrlColumn)->text(), robots.Url(u"/hook?***"_s));
    auto testButton
        = [&](int row) { return qobject_cast<QPushButton*>(table->cellWidget(row, NotifySettingsDialog::TestColumn)); };
    testButton(0)->click();
    QTRY_COMPARE(table->item(0, NotifySettingsDialog::AnswerColumn)->text(), u"已送达"_s);
    QCOMPARE(robots.Requests().last().body, QByteArray("[]"));

    // A self-hosted DingTalk gateway: the kind picked, the secret given; a wrong address first.
    table->clearSelection();
    auto* kind = dialog->findChild<QComboBox*>(u"通知种类"_s);
    kind->setCurrentIndex(kind->findData(u"dingtalk"_s));
    dialog->findChild<QLineEdit*>(u"签名密钥"_s)->setText(u"SEC-1"_s);
    url->setText(u"ftp://robots.example/x"_s);
    add->click();
    QVERIFY(problem->isVisible() && problem->text().contains(u"http://"_s));
    QCOMPARE(url->text(), u"ftp://robots.example/x"_s);
    QCOMPARE(table->rowCount(), 1);
    url->setText(robots.Url(u"/refuses"_s));
    add->click();
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(table->item(1, NotifySettingsDialog::KindColumn)->text(), u"钉钉群机器人"_s);
    testButton(1)->click();
    QTRY_VERIFY(table->item(1, NotifySettingsDialog::AnswerColumn)->text().startsWith(u"失败"_s));
    QVERIFY2(dialog->findChild<QLabel*>(u"测试结果"_s)->text().contains(u"错误码 310000：sign not match"_s),
        qPrintable(dialog->findChild<QLabel*>(u"测试结果"_s)->text()));
    QVERIFY(robots.Requests().last().target.contains("&sign="));

    // Typed but not added: OK says so and keeps it.
    table->clearSelection();
    url->setText(robots.Url(u"/typed"_s));
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    QVERIFY(dialog->isVisible() && problem->text().contains(u"还没有保存"_s));
    url->clear();
    dialog->findChild<QSpinBox*>(u"连续几遍才提醒"_s)->setValue(3);
    dialog->findChild<QSpinBox*>(u"每隔分钟提醒"_s)->setValue(30);
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    QTRY_VERIFY(!window.findChild<NotifySettingsDialog*>());

    const WindowAlerts::Settings applied = alerts->CurrentSettings();
    QCOMPARE(applied.targets.size(), 2);
    QCOMPARE(applied.targets.at(1).secret, u"SEC-1"_s);
    QCOMPARE(applied.confirmPasses, 3);
    QCOMPARE(applied.remindMinutes, 30);
    FormStateStore reader;
    QVERIFY(reader.SetFile(ini, 1));
    QCOMPARE(ReadAlertSettings(reader), applied);
    QVERIFY(QTextCodec::codecForName("GB18030")->toUnicode(FileBytes(ini)).contains(u"通知网址="_s + oldUrl));

    // Removing the signed target leaves no trace of its secret; a file widened since is narrowed again.
    QVERIFY(QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    WindowAlerts::Settings fewer = applied;
    fewer.targets.removeLast();
    alerts->ApplySettings(fewer);
    QVERIFY(!FileBytes(ini).contains("SEC-1"));
    QCOMPARE(int(QFile::permissions(ini) & 0x0077), 0);

    // Closing while a test waits on a silent server neither hangs nor answers into a dead dialog.
    alerts->EditSettings();
    dialog = window.findChild<NotifySettingsDialog*>();
    dialog->findChild<QLineEdit*>(u"通知网址"_s)->setText(robots.Url(u"/stall"_s));
    dialog->findChild<QPushButton*>(u"添加通知目标"_s)->click();
    const int before = robots.RequestCount();
    dialog->SendTest(1);
    QVERIFY(robots.WaitForRequests(before + 1, 10'000));
    dialog->reject();
    QTRY_VERIFY(!window.findChild<NotifySettingsDialog*>());
    QCOMPARE(alerts->CurrentSettings(), fewer);
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
