#include "ui/site_details_dialog.h"

#include "monitor/duration_text.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFormLayout>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QVBoxLayout>
#include <QValueAxis>

using namespace Qt::StringLiterals;

namespace {

QString TimeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(u"yyyy-MM-dd HH:mm:ss"_s);
}

} // namespace

QString SiteDetailsDialog::UptimeText(double share)
{
    return share < 0 ? u"无记录"_s : u"%1 %"_s.arg(share * 100.0, 0, 'f', 2);
}

SiteDetailsDialog::SiteDetailsDialog(
    const QString& url, const SiteHistory& history, qint64 nowMs, QWidget* parent, const QString& reason)
    : QDialog(parent)
{
    setObjectName(u"网站详情"_s);
    setWindowTitle(u"网站详情 - %1"_s.arg(url));
    resize(640, 560);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);

    auto addRow = [&](const QString& label, const QString& value) {
        auto* text = new QLabel(value, this);
        text->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(label, text);
    };
    addRow(u"网址："_s, url);
    if (!history.known) {
        addRow(u"状态："_s, u"历史中没有这个网站"_s);
    } else {
        addRow(u"状态："_s,
            u"%1，自 %2 起（%3）"_s.arg(history.normal ? u"正常"_s : u"不正常"_s, TimeText(history.sinceMs),
                DurationText(qMax<qint64>(0, nowMs - history.sinceMs))));
        addRow(u"正常率："_s,
            u"24 小时 %1　7 天 %2　30 天 %3"_s.arg(
                UptimeText(history.uptime24h), UptimeText(history.uptime7d), UptimeText(history.uptime30d)));
    }
    if (!reason.isEmpty())
        addRow(u"原因："_s, reason);
    addRow(u"证书到期："_s,
        history.certExpires > 0 ? QDateTime::fromSecsSinceEpoch(history.certExpires).toString(u"yyyy-MM-dd HH:mm"_s)
                                : u"未知"_s);

    auto* series = new QLineSeries;
    series->setName(u"平均响应时间（毫秒）"_s);
    series->setPointsVisible(true);
    qint64 top = 1;
    for (const SiteHistory::HourPoint& point : history.responseTimes24h) {
        series->append(double(point.hourMs), point.averageMs);
        top = qMax(top, qint64(point.averageMs) + 1);
    }
    auto* chart = new QChart;
    chart->addSeries(series);
    auto* timeAxis = new QDateTimeAxis;
    timeAxis->setFormat(u"HH:mm"_s);
    timeAxis->setRange(
        QDateTime::fromMSecsSinceEpoch(nowMs - 24LL * 3600 * 1000), QDateTime::fromMSecsSinceEpoch(nowMs));
    auto* valueAxis = new QValueAxis;
    valueAxis->setRange(0, double(top) * 1.1);
    valueAxis->setLabelFormat(u"%d"_s);
    chart->addAxis(timeAxis, Qt::AlignBottom);
    chart->addAxis(valueAxis, Qt::AlignLeft);
    series->attachAxis(timeAxis);
    series->attachAxis(valueAxis);
    chart->setTitle(u"最近 24 小时的响应时间（每小时平均）"_s);
    auto* view = new QChartView(chart, this);
    view->setObjectName(u"响应时间图"_s);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumHeight(240);
    layout->addWidget(view, 1);

    layout->addWidget(new QLabel(u"最近的状态变化："_s, this));
    auto* changes = new QListWidget(this);
    changes->setObjectName(u"状态变化列表"_s);
    for (const SiteHistory::Change& change : history.changes) {
        changes->addItem(u"%1　%2　状态码 %3"_s.arg(
            TimeText(change.atMs), change.normal ? u"恢复正常"_s : u"不正常"_s, QString::number(change.status)));
    }
    if (history.changes.isEmpty())
        changes->addItem(u"（没有状态变化）"_s);
    layout->addWidget(changes);
}
