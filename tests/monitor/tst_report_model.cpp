#include "monitor/report_model.h"

#include "monitor/status_codes.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

class TestReportModel final : public QObject
{
    Q_OBJECT

private slots:
    void lastRowLookupMatchesLinearSearch();
    void fillsFiftyThousandRowsInOneReset();
    void headersAndRowUpdates();
    void columnTextsForEveryVerdict();
};

// The URL index must give the same answer as a search from the last row up, through appends and removals.
void TestReportModel::lastRowLookupMatchesLinearSearch()
{
    ReportModel model(u"不正常网站"_s);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QStringList reference;
    QRandomGenerator random(20261208);
    const QStringList urls = { u"http://a/"_s, u"http://b/"_s, u"http://A/"_s, u"http://c/"_s, u"http://b/ "_s };

    auto linearLast = [&](const QString& url) {
        for (qsizetype i = reference.size() - 1; i >= 0; --i) {
            if (reference.at(i) == url)
                return int(i);
        }
        return -1;
    };

    model.Fill({ urls[0], urls[1], urls[0] });
    reference = { urls[0], urls[1], urls[0] };
    for (int step = 0; step < 2000; ++step) {
        const QString& url = urls[random.bounded(int(urls.size()))];
        if (random.bounded(2) == 0 || reference.isEmpty()) {
            QCOMPARE(model.AppendRow(url, ReportModel::StateAbnormal, step), int(reference.size()));
            reference.append(url);
        } else {
            const int row = random.bounded(int(reference.size()));
            model.RemoveRow(row);
            reference.removeAt(row);
        }
        for (const QString& probe : urls)
            QCOMPARE(model.FindLastRow(probe), linearLast(probe));
    }
    QCOMPARE(model.rowCount(), int(reference.size()));
    for (int row = 0; row < model.rowCount(); ++row)
        QCOMPARE(model.Url(row), reference.at(row));
    model.RemoveRow(-1);
    model.RemoveRow(model.rowCount());
    QCOMPARE(model.rowCount(), int(reference.size()));
}

void TestReportModel::fillsFiftyThousandRowsInOneReset()
{
    ReportModel model(u"全部网站"_s);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
    QStringList urls;
    for (int i = 0; i < 50'000; ++i)
        urls.append(u"http://127.0.0.1:1/site%1"_s.arg(i % 40'000));
    model.Fill(urls);
    QCOMPARE(resets.count(), 1);
    QCOMPARE(inserts.count(), 0);
    QCOMPARE(model.rowCount(), 50'000);
    QCOMPARE(model.State(49'999), int(ReportModel::StateUnchecked));
    QCOMPARE(model.data(model.index(123, 0), ReportModel::StateRole).toInt(), int(ReportModel::StateUnchecked));
    QCOMPARE(model.FindLastRow(u"http://127.0.0.1:1/site5"_s), 40'005);
    QCOMPARE(model.FindLastRow(u"http://127.0.0.1:1/site45000"_s), -1);

    model.Clear();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.FindLastRow(u"http://127.0.0.1:1/site5"_s), -1);
}

void TestReportModel::headersAndRowUpdates()
{
    ReportModel model(u"全部网站"_s);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.columnCount(), 4);
    QStringList headers;
    for (int column = 0; column < 4; ++column)
        headers.append(model.headerData(column, Qt::Horizontal).toString());
    QCOMPARE(headers, QStringList({ u"全部网站"_s, u"状态码"_s, u"找到位置"_s, u"响应时间"_s }));

    QSignalSpy headerChanges(&model, &QAbstractItemModel::headerDataChanged);
    model.SetHeaderText(u"全部网站（2 个）"_s);
    QCOMPARE(headerChanges.count(), 1);
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), u"全部网站（2 个）"_s);

    model.Fill({ u"http://x/"_s, u"http://y/"_s });
    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
    model.SetResult(1, CheckResult { 404, 0, 3, true, false }, ReportModel::StateAbnormal, 77);
    QCOMPARE(changes.count(), 1);
    QCOMPARE(changes.first().at(0).toModelIndex(), model.index(1, 0));
    QCOMPARE(changes.first().at(1).toModelIndex(), model.index(1, 3));
    QCOMPARE(model.State(1), int(ReportModel::StateAbnormal));
    QCOMPARE(model.ItemData(1), 77);

    // Out-of-range rows are ignored instead of corrupting memory.
    model.SetResult(2, CheckResult {}, 0, 0);
    model.SetResult(-1, CheckResult {}, 0, 0);
    model.SetState(5, 0);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.State(5), -1);
    QCOMPARE(model.Text(5, 1), QString());
}

// The texts a row makes when asked must be the ones it used to store, for every kind of verdict, in both
// lists and through data() as the views ask for them.
void TestReportModel::columnTextsForEveryVerdict()
{
    LoadStatusCodeList();
    struct Case
    {
        CheckResult result;
        QStringList columns; // 1..3
    };
    const QList<Case> cases = {
        { { 200, 0, 3, true, false }, { u"200|访问正常(OK)"_s, u"无查询"_s, u"3 毫秒"_s } },
        { { 404, 0, 1250, true, false }, { u"404|该文档已经不存在(Not Found)"_s, u"无查询"_s, u"1.25 秒"_s } },
        { { 0, 0, 10250, true, false }, { u"0|访问异常，没有信号"_s, u"无查询"_s, u"10.25 秒"_s } },
        { { 0, 300004, 999, false, true }, { u"无查询"_s, u"300004"_s, u"999 毫秒"_s } },
        { { 0, -1, 90000, false, true }, { u"无查询"_s, u"找不到"_s, u"1.5 分"_s } },
        { { 200, 17, 0, true, true }, { u"200|访问正常(OK)"_s, u"17"_s, u"0 毫秒"_s } },
        { { 0, 0, 7200000, false, false }, { u"无查询"_s, u"无查询"_s, u"2 时"_s } },
    };
    const QString url = u"http://例子.中国/路径?q=1\t"_s;
    ReportModel sites(u"全部网站"_s);
    ReportModel abnormal(u"不正常网站"_s);
    sites.Fill({ url, u"http://other/"_s });
    QCOMPARE(sites.Text(0, 0), url);
    QCOMPARE(sites.Text(0, 1), QString()); // not checked yet: only the URL
    QCOMPARE(sites.Text(0, 3), QString());
    for (const Case& c : cases) {
        const int row = abnormal.AppendRow(url, ReportModel::StateAbnormal, 5);
        abnormal.SetResult(row, c.result, ReportModel::StateAbnormal, 5);
        sites.SetResult(0, c.result, ReportModel::StateNormal, 9);
        for (int column = 1; column < ReportModel::kColumnCount; ++column) {
            const QString& expected = c.columns.at(column - 1);
            QCOMPARE(sites.Text(0, column), expected);
            QCOMPARE(sites.data(sites.index(0, column)).toString(), expected);
            QCOMPARE(abnormal.data(abnormal.index(row, column), Qt::ToolTipRole).toString(), expected);
        }
        QCOMPARE(abnormal.Url(row), url);
    }
    // In progress: column 1 says so, the last result stays in columns 2 and 3 until the next one.
    sites.SetState(0, ReportModel::StateInProgress);
    QCOMPARE(sites.Text(0, 1), u"正在访问.."_s);
    QCOMPARE(sites.Text(0, 2), u"无查询"_s);
    QCOMPARE(sites.Text(0, 3), u"2 时"_s);
    QCOMPARE(sites.Text(1, 1), QString());
    QCOMPARE(abnormal.FindLastRow(url), int(cases.size()) - 1);
}

QTEST_GUILESS_MAIN(TestReportModel)
#include "tst_report_model.moc"
