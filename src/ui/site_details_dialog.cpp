#include "ui/site_details_dialog.h"

#include "monitor/duration_text.h"
#include "ui/screen_fit.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFormLayout>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QListWidget>
#include <QScatterSeries>
#include <QVBoxLayout>
#include <QValueAxis>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kMinuteMs = 60 * 1000;
constexpr qint64 kHourMs = 60 * kMinuteMs;
constexpr qint64 kDayMs = 24 * kHourMs;

QString TimeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(u"yyyy-MM-dd HH:mm:ss"_s);
}

struct Point
{
    qint64 atMs;
    double valueMs;
};

// One line per run of points without a gap, so no line crosses a time without checks.
void AddLines(QChart* chart, const QVector<Point>& points, qint64 gapMs, const QColor& color, const QString& name)
{
    QLineSeries* line = nullptr;
    qint64 last = 0;
    for (const Point& point : points) {
        if (line == nullptr || point.atMs - last > gapMs) {
            line = new QLineSeries(chart);
            line->setColor(color);
            line->setPointsVisible(true);
            line->setName(name);
            chart->addSeries(line);
        }
        line->append(double(point.atMs), point.valueMs);
        last = point.atMs;
    }
}

QString UptimeWithSpan(const QString& label, double share, qint64 windowMs, qint64 firstMs, qint64 nowMs)
{
    QString text = label + u' ' + SiteDetailsDialog::UptimeText(share);
    if (share >= 0 && firstMs > 0 && nowMs - firstMs < windowMs)
        text += u"（仅有 %1 的数据）"_s.arg(DurationText(qMax<qint64>(kMinuteMs, nowMs - firstMs)));
    return text;
}

} // namespace

QString SiteDetailsDialog::UptimeText(double share)
{
    return share < 0 ? u"无记录"_s : u"%1 %"_s.arg(share * 100.0, 0, 'f', 2);
}

std::pair<double, int> SiteDetailsDialog::RoundAxis(double top)
{
    top = qMax(top, 1.0);
    // Step 1, 2 or 5 times a power of ten, whole milliseconds, at most eight steps.
    const double magnitude = qMax(1.0, std::pow(10.0, std::floor(std::log10(top / 4))));
    double step = magnitude;
    for (const double factor : { 1.0, 2.0, 5.0, 10.0 }) {
        step = factor * magnitude;
        if (top / step <= 8)
            break;
    }
    const int steps = qMax(1, int(std::ceil(top / step - 1e-9)));
    return { steps * step, steps + 1 };
}

SiteDetailsDialog::SiteDetailsDialog(
    const QString& url, const Data& data, qint64 nowMs, QWidget* parent, const QString& reason)
    : QDialog(parent)
{
    const SiteHistory& history = data.history;
    setObjectName(u"网站详情"_s);
    setWindowTitle(u"网站详情 - %1"_s.arg(url));
    resize(640, 560);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);

    auto addRow = [&](const QString& name, const QString& label, const QString& value) {
        auto* text = new QLabel(value, this);
        text->setObjectName(name);
        text->setTextInteractionFlags(Qt::TextSelectableByMouse);
        text->setWordWrap(true);
        form->addRow(label, text);
    };
    addRow(u"网址"_s, u"网址："_s, url);
    // The oldest thing known of the site: its first check in the current state, an old change, the oldest row.
    qint64 firstMs = history.sinceMs;
    for (const SiteHistory::Change& change : history.changes)
        firstMs = firstMs > 0 ? qMin(firstMs, change.atMs) : change.atMs;
    if (data.firstDataMs > 0 && (firstMs <= 0 || data.firstDataMs < firstMs - kHourMs))
        firstMs = data.firstDataMs;
    if (!history.known) {
        addRow(u"状态"_s, u"状态："_s, u"历史中没有这个网站"_s);
    } else {
        addRow(u"状态"_s, u"状态："_s,
            u"%1，自 %2 起（%3）"_s.arg(history.normal ? u"正常"_s : u"不正常"_s, TimeText(history.sinceMs),
                DurationText(qMax<qint64>(0, nowMs - history.sinceMs))));
        addRow(u"正常率"_s, u"正常率："_s,
            QStringList { UptimeWithSpan(u"24 小时"_s, history.uptime24h, kDayMs, firstMs, nowMs),
                UptimeWithSpan(u"7 天"_s, history.uptime7d, 7 * kDayMs, firstMs, nowMs),
                UptimeWithSpan(u"30 天"_s, history.uptime30d, 30 * kDayMs, firstMs, nowMs) }
                .join(u"　"_s));
    }
    if (!reason.isEmpty())
        addRow(u"原因"_s, u"原因："_s, reason);
    const bool https = url.trimmed().startsWith(u"https://"_s, Qt::CaseInsensitive);
    addRow(u"证书到期"_s, u"证书到期："_s,
        !https ? u"不适用"_s
            : history.certExpires > 0
            ? QDateTime::fromSecsSinceEpoch(history.certExpires).toString(u"yyyy-MM-dd HH:mm"_s)
            : u"未知"_s);

    // Minutes while the data is younger than an hour and this session saw checks; else the hourly means.
    const bool minutes = !data.recent.isEmpty() && (firstMs <= 0 || nowMs - firstMs < kHourMs);
    auto* chart = new QChart;
    chart->legend()->setVisible(true);
    QVector<Point> times;
    QVector<Point> failures;
    qint64 from = 0;
    qint64 to = 0;
    qint64 gapMs = 0;
    qint64 stepMinutes = 4 * 60;
    if (minutes) {
        for (const Sample& sample : data.recent)
            (sample.normal ? times : failures).append({ sample.atMs, double(sample.elapsedMs) });
        // Round minutes, at least ten of them, ending at the next one after now.
        to = (nowMs / kMinuteMs + 1) * kMinuteMs;
        const qint64 span = qMax<qint64>(10, (to - data.recent.first().atMs + kMinuteMs - 1) / kMinuteMs);
        stepMinutes = span <= 10 ? 1 : span <= 20 ? 2 : span <= 50 ? 5 : 10;
        from = to - ((span + stepMinutes - 1) / stepMinutes) * stepMinutes * kMinuteMs;
        // Three intervals without a check is a gap.
        qint64 interval = kMinuteMs;
        if (data.recent.size() > 1)
            interval
                = qMax<qint64>(1000, (data.recent.last().atMs - data.recent.first().atMs) / (data.recent.size() - 1));
        gapMs = 3 * interval;
    } else {
        // Failed checks are marked at their hour's middle, apart from the mean of the normal ones.
        for (const SiteHistory::HourPoint& point : history.responseTimes24h) {
            if (point.averageMs >= 0)
                times.append({ point.hourMs, point.averageMs });
            if (point.failedChecks > 0)
                failures.append({ point.hourMs + kHourMs / 2, 0 });
        }
        to = (nowMs / kHourMs + 1) * kHourMs;
        from = to - kDayMs;
        gapMs = kHourMs;
    }
    double top = 0;
    for (const Point& point : std::as_const(times))
        top = qMax(top, point.valueMs);
    AddLines(chart, times, gapMs, QColor(0x20, 0x60, 0xc0),
        minutes ? u"响应时间（毫秒）"_s : u"每小时平均响应时间（毫秒）"_s);
    const auto [axisTop, ticks] = RoundAxis(top * 1.05);
    if (!failures.isEmpty()) {
        auto* failed = new QScatterSeries(chart);
        failed->setName(u"失败的检查"_s);
        failed->setColor(QColor(0xd0, 0x20, 0x20));
        failed->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
        failed->setMarkerSize(9);
        for (const Point& point : std::as_const(failures))
            failed->append(double(point.atMs), 0);
        chart->addSeries(failed);
    }
    // Only the first line of the response times needs a legend entry.
    const QList<QAbstractSeries*> series = chart->series();
    for (qsizetype i = 1; i < series.size(); ++i) {
        if (series.at(i)->type() == QAbstractSeries::SeriesTypeLine)
            chart->legend()->markers(series.at(i)).constFirst()->setVisible(false);
    }

    auto* timeAxis = new QDateTimeAxis;
    timeAxis->setObjectName(u"时间轴"_s);
    timeAxis->setFormat(u"HH:mm"_s);
    timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(to));
    timeAxis->setTickCount(int((to - from) / (stepMinutes * kMinuteMs)) + 1);
    auto* valueAxis = new QValueAxis;
    valueAxis->setObjectName(u"毫秒轴"_s);
    valueAxis->setRange(0, axisTop);
    valueAxis->setTickCount(ticks);
    valueAxis->setLabelFormat(u"%d"_s);
    chart->addAxis(timeAxis, Qt::AlignBottom);
    chart->addAxis(valueAxis, Qt::AlignLeft);
    for (QAbstractSeries* one : series) {
        one->attachAxis(timeAxis);
        one->attachAxis(valueAxis);
    }
    chart->setTitle(minutes ? u"本次运行的响应时间（每次检查）"_s : u"最近 24 小时的响应时间（每小时平均）"_s);
    auto* view = new QChartView(chart, this);
    view->setObjectName(u"响应时间图"_s);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumHeight(180);
    layout->addWidget(view, 1);

    layout->addWidget(new QLabel(u"最近的状态变化："_s, this));
    auto* changes = new QListWidget(this);
    changes->setObjectName(u"状态变化列表"_s);
    changes->setMinimumHeight(60);
    for (const SiteHistory::Change& change : history.changes) {
        changes->addItem(u"%1　%2　状态码 %3"_s.arg(
            TimeText(change.atMs), change.normal ? u"恢复正常"_s : u"不正常"_s, QString::number(change.status)));
    }
    if (history.changes.isEmpty())
        changes->addItem(u"（没有状态变化）"_s);
    layout->addWidget(changes);
    FitIntoScreen(this);
}
