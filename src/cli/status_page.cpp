#include "cli/status_page.h"

#include "cli/site_board.h"
#include "cli/status_assets.h"
#include "monitor/check_result.h"
#include "monitor/duration_text.h"
#include "store/history_store.h"
#include "store/persistence.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kMaxSearchChars = 200;
constexpr qint64 kHourMs = 3600LL * 1000;

// Only the program's own files run or style the pages; nothing may frame them.
const QByteArray kPageHeaders = "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
                                "img-src 'self'; connect-src 'self'; form-action 'self'; frame-ancestors 'none'\r\n"
                                "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
                                "Cache-Control: no-cache\r\n";

QString Esc(const QString& text)
{
    return text.toHtmlEscaped();
}

QString TimeText(qint64 ms)
{
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms).toString(u"yyyy-MM-dd HH:mm:ss"_s) : u"—"_s;
}

QString StateKey(SiteBoard::State state)
{
    switch (state) {
    case SiteBoard::State::Normal:
        return u"normal"_s;
    case SiteBoard::State::Abnormal:
        return u"abnormal"_s;
    case SiteBoard::State::Unchecked:
        break;
    }
    return u"unchecked"_s;
}

QString StateText(SiteBoard::State state)
{
    switch (state) {
    case SiteBoard::State::Normal:
        return u"正常"_s;
    case SiteBoard::State::Abnormal:
        return u"不正常"_s;
    case SiteBoard::State::Unchecked:
        break;
    }
    return u"未检查"_s;
}

QString StatusText(const SiteBoard::Entry& entry)
{
    return entry.state == SiteBoard::State::Unchecked ? u"—"_s : StatusColumnText(entry.byStatus, entry.status);
}

QString ElapsedText(const SiteBoard::Entry& entry)
{
    return entry.state == SiteBoard::State::Unchecked ? u"—"_s : DurationText(entry.elapsedMs);
}

QString QueryValue(const QByteArray& query, const QString& key)
{
    QByteArray text = query;
    text.replace('+', "%20"); // forms send spaces as '+'
    return QUrlQuery(QString::fromUtf8(text)).queryItemValue(key, QUrl::FullyDecoded).left(kMaxSearchChars);
}

WebAnswer Html(const QString& body, int status = 200)
{
    return { status, "text/html; charset=utf-8", body.toUtf8(), kPageHeaders };
}

WebAnswer Json(const QJsonObject& object, const QByteArray& etag = {})
{
    QByteArray headers = kPageHeaders;
    if (!etag.isEmpty())
        headers += "ETag: " + etag + "\r\n";
    return { 200, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact), headers };
}

WebAnswer NotFound(bool json)
{
    if (json) {
        WebAnswer answer = Json(QJsonObject { { u"error"_s, u"没有这个网站"_s } });
        answer.status = 404;
        return answer;
    }
    return { 404, "text/plain; charset=utf-8", u"没有这个网站\n"_s.toUtf8(), kPageHeaders };
}

bool Unchanged(const WebRequest& request, const QByteArray& etag)
{
    return request.headers.value("if-none-match") == etag;
}

WebAnswer NotModified(const QByteArray& etag)
{
    return { 304, "application/json", {}, kPageHeaders + "ETag: " + etag + "\r\n" };
}

QString PageHead(const QString& title)
{
    return u"<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>%1</title><link rel=\"stylesheet\" href=\"/assets/status.css\"></head><body>"
           "<header><h1><a href=\"/\">%2</a></h1><span class=\"version\">版本 %3</span></header><main>"_s.arg(
               Esc(title), Esc(Persist::ProgramTitle()), Esc(Persist::ProgramVersion()));
}

// The 24 hours as runs of one mark each, one path per kind: a row costs a few hundred bytes at worst.
QString BarSvg(const QByteArray& marks)
{
    if (marks.size() != 24)
        return u"<span class=\"nobar\">—</span>"_s;
    int checked = 0;
    int good = 0;
    for (const char m : marks) {
        checked += m != '-';
        good += m == 'o';
    }
    const QString label
        = checked == 0 ? u"24 小时内无记录"_s : u"24 小时内 %1/%2 小时全部正常"_s.arg(good).arg(checked);
    QString svg
        = u"<svg class=\"bar\" viewBox=\"0 0 24 4\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"%1\">"
          "<title>%1</title>"_s.arg(Esc(label));
    for (const char kind : { 'o', 'p', 'x', '-' }) {
        QString d;
        for (int i = 0; i < 24;) {
            if (marks[i] != kind) {
                ++i;
                continue;
            }
            int end = i;
            while (end < 24 && marks[end] == kind)
                ++end;
            d += u"M%1 0h%2v4h-%2z"_s.arg(i).arg(end - i);
            i = end;
        }
        if (!d.isEmpty())
            svg += u"<path class=\"b%1\" d=\"%2\"/>"_s.arg(QString(QLatin1Char(kind == '-' ? 'n' : kind)), d);
    }
    return svg + u"</svg>"_s;
}

QJsonObject EntryJson(const SiteBoard::Entry& entry)
{
    QJsonObject o {
        { u"id"_s, QString::fromLatin1(entry.id) },
        { u"url"_s, entry.shown },
        { u"state"_s, StateKey(entry.state) },
        { u"stateText"_s, StateText(entry.state) },
        { u"status"_s, entry.status },
        { u"statusText"_s, StatusText(entry) },
        { u"reason"_s, FailureReasonKey(entry.reason) },
        { u"reasonText"_s, FailureReasonText(entry.reason, entry.reasonDetail) },
        { u"elapsedMs"_s, entry.elapsedMs },
        { u"elapsedText"_s, ElapsedText(entry) },
        { u"checkedAtMs"_s, entry.checkedAtMs },
        { u"checkedAtText"_s, TimeText(entry.checkedAtMs) },
    };
    if (entry.abnormalSinceMs > 0) {
        o.insert(u"abnormalSinceMs"_s, entry.abnormalSinceMs);
        o.insert(u"abnormalSinceText"_s, TimeText(entry.abnormalSinceMs));
    }
    return o;
}

// Every text from outside (a URL, a search) goes into its template in one arg() call: a later call would
// replace a "%1" inside it.
QString SiteLink(const SiteBoard::Entry& entry)
{
    return u"<a href=\"/site/%1\">%2</a>"_s.arg(QString::fromLatin1(entry.id), Esc(entry.shown));
}

QString ListRow(const SiteBoard::Entry& entry)
{
    return u"<tr class=\"%1\"><td data-label=\"网址\" class=\"url\">%2</td><td data-label=\"状态\">%3</td>"
           "<td data-label=\"状态码\">%4</td><td data-label=\"响应时间\">%5</td><td data-label=\"检查于\">%6</td></tr>"_s
               .arg(StateKey(entry.state), SiteLink(entry), StateText(entry.state), Esc(StatusText(entry)),
                   ElapsedText(entry), TimeText(entry.checkedAtMs));
}

QString Pager(const SiteBoard::Selection& selection, const QString& filterKey, const QString& text)
{
    auto link = [&](int page, const QString& label) {
        QByteArray query = "state=" + filterKey.toLatin1();
        if (!text.isEmpty())
            query += "&q=" + QUrl::toPercentEncoding(text);
        query += "&page=" + QByteArray::number(page);
        return u"<a href=\"/sites?%1\">%2</a>"_s.arg(Esc(QString::fromLatin1(query)), label);
    };
    QString out = u"<nav class=\"pager\">"_s;
    if (selection.page > 1)
        out += link(selection.page - 1, u"上一页"_s);
    out += u"<span>第 %1 / %2 页，共 %3 个</span>"_s.arg(selection.page).arg(selection.pages).arg(selection.total);
    if (selection.page < selection.pages)
        out += link(selection.page + 1, u"下一页"_s);
    return out + u"</nav>"_s;
}

QString SearchForm(const QString& filterKey, const QString& text)
{
    QString options;
    const std::pair<QString, QString> filters[] = { { u"all"_s, u"全部"_s }, { u"abnormal"_s, u"不正常"_s },
        { u"normal"_s, u"正常"_s }, { u"unchecked"_s, u"未检查"_s } };
    for (const auto& [key, label] : filters) {
        options
            += u"<option value=\"%1\"%2>%3</option>"_s.arg(key, key == filterKey ? u" selected"_s : QString(), label);
    }
    return u"<form id=\"search\" action=\"/sites\" method=\"get\">"
           "<input id=\"q\" name=\"q\" type=\"search\" placeholder=\"按网址搜索\" value=\"%1\" maxlength=\"%2\">"
           "<select id=\"state\" name=\"state\">%3</select><button type=\"submit\">搜索</button></form>"_s.arg(
               Esc(text), QString::number(kMaxSearchChars), options);
}

QString ListTable(const QString& rows, const QString& bodyId)
{
    return u"<table class=\"sites list\"><thead><tr><th>网址</th><th>状态</th><th>状态码</th><th>响应时间</th>"
           "<th>检查于</th></tr></thead><tbody id=\"%1\">%2</tbody></table>"_s.arg(bodyId, rows);
}

struct ListQuery
{
    SiteBoard::Filter filter = SiteBoard::Filter::All;
    QString filterKey = u"all"_s;
    QString text;
    int page = 1;
};

ListQuery ParseListQuery(const QByteArray& query)
{
    ListQuery q;
    const QString state = QueryValue(query, u"state"_s);
    if (SiteBoard::ParseFilter(state, &q.filter) && !state.isEmpty())
        q.filterKey = state;
    q.text = QueryValue(query, u"q"_s).trimmed();
    bool ok = false;
    q.page = QueryValue(query, u"page"_s).toInt(&ok);
    if (!ok)
        q.page = 1;
    return q;
}

QString ChartSvg(const SiteHistory& history, qint64 nowMs)
{
    constexpr int kWidth = 720;
    constexpr int kHeight = 220;
    constexpr int kLeft = 56;
    constexpr int kBottom = 24;
    constexpr int kTop = 12;
    const qint64 firstHourMs = (nowMs / kHourMs - 23) * kHourMs;
    double top = 1;
    for (const auto& point : history.responseTimes24h)
        top = std::max(top, point.averageMs);
    // A round scale: 1, 2 or 5 times a power of ten.
    const double magnitude = std::pow(10.0, std::floor(std::log10(top)));
    const double scale = top <= magnitude ? magnitude
        : top <= 2 * magnitude            ? 2 * magnitude
        : top <= 5 * magnitude            ? 5 * magnitude
                                          : 10 * magnitude;
    const double slot = double(kWidth - kLeft) / 24.0;
    const double plot = kHeight - kBottom - kTop;
    QString svg
        = u"<svg class=\"chart\" viewBox=\"0 0 %1 %2\" role=\"img\" aria-label=\"24 小时响应时间\">"_s.arg(kWidth).arg(
            kHeight);
    svg += u"<line class=\"axis\" x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\"/>"_s.arg(kLeft)
               .arg(kHeight - kBottom)
               .arg(kWidth);
    svg += u"<text class=\"tick\" x=\"%1\" y=\"%2\">%3</text><text class=\"tick\" x=\"%1\" y=\"%4\">0</text>"_s
               .arg(kLeft - 6)
               .arg(kTop + 4)
               .arg(Esc(DurationText(qint64(scale))))
               .arg(kHeight - kBottom);
    for (int h = 0; h <= 24; h += 6) {
        const qint64 at = firstHourMs + h * kHourMs;
        svg += u"<text class=\"hour\" x=\"%1\" y=\"%2\">%3</text>"_s.arg(kLeft + h * slot, 0, 'f', 1)
                   .arg(kHeight - 6)
                   .arg(QDateTime::fromMSecsSinceEpoch(at).toString(u"HH:mm"_s));
    }
    for (const auto& point : history.responseTimes24h) {
        const qint64 index = (point.hourMs - firstHourMs) / kHourMs;
        if (index < 0 || index >= 24)
            continue;
        const double x = kLeft + double(index) * slot + 1;
        if (point.averageMs >= 0) {
            const double h = std::max(1.0, plot * point.averageMs / scale);
            svg += u"<rect class=\"mean\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\"><title>%5 平均 %6</title></rect>"_s
                       .arg(x, 0, 'f', 1)
                       .arg(kHeight - kBottom - h, 0, 'f', 1)
                       .arg(slot - 2, 0, 'f', 1)
                       .arg(h, 0, 'f', 1)
                       .arg(QDateTime::fromMSecsSinceEpoch(point.hourMs).toString(u"HH:00"_s),
                           Esc(DurationText(qint64(point.averageMs))));
        }
        if (point.failedChecks > 0) {
            svg += u"<rect class=\"failed\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"6\"><title>%4 失败 %5 次</title></rect>"_s
                       .arg(x, 0, 'f', 1)
                       .arg(kTop - 8)
                       .arg(slot - 2, 0, 'f', 1)
                       .arg(QDateTime::fromMSecsSinceEpoch(point.hourMs).toString(u"HH:00"_s))
                       .arg(point.failedChecks);
        }
    }
    return svg + u"</svg>"_s;
}

QString UptimeText(double share)
{
    return share < 0 ? u"—"_s : u"%1%"_s.arg(share * 100, 0, 'f', 2);
}

} // namespace

StatusPage::StatusPage(const SiteBoard* board, std::function<qint64()> clock)
    : m_board(board)
    , m_clock(clock ? std::move(clock) : [] { return QDateTime::currentMSecsSinceEpoch(); })
{ }

void StatusPage::Install(MetricsServer* server)
{
    for (const QByteArray path : { "/", "/sites", "/site/", "/api/status", "/api/sites", "/api/sites/", "/assets/" })
        server->Route(path, [this](const WebRequest& request) { return Answer(request); });
}

WebAnswer StatusPage::Answer(const WebRequest& request)
{
    const QByteArray& path = request.path;
    if (path == "/")
        return Index();
    if (path == "/sites")
        return SiteList(request);
    if (path.startsWith("/site/"))
        return SitePage(path.mid(6));
    if (path == "/api/status")
        return ApiStatus(request);
    if (path == "/api/sites")
        return ApiSites(request);
    if (path.startsWith("/api/sites/"))
        return ApiSite(path.mid(11));
    if (path.startsWith("/assets/"))
        return Asset(path.mid(8));
    return NotFound(false);
}

QByteArray StatusPage::Bar(int index) const
{
    QByteArray marks = m_bars.value(m_board->At(index).url);
    if (marks.size() != 24)
        return marks;
    // The history's current hour lags its writer by up to a minute, and the bars are read once a minute: this
    // run's own checks of the hour are added, so a site that just went down shows it.
    const qint64 hourStart = m_clock() / kHourMs * kHourMs;
    bool good = marks[23] == 'o' || marks[23] == 'p';
    bool bad = marks[23] == 'x' || marks[23] == 'p';
    for (const SiteBoard::Check& check : m_board->RecentChecks(index)) {
        if (check.atMs >= hourStart)
            (check.normal ? good : bad) = true;
    }
    marks[23] = good && bad ? 'p' : good ? 'o' : bad ? 'x' : '-';
    return marks;
}

void StatusPage::RefreshBars()
{
    if (m_historyPath.isEmpty())
        return;
    const std::vector<int>& order = m_board->AbnormalOrder();
    const size_t shown = std::min(order.size(), size_t(kAbnormalShown));
    const qint64 now = m_clock();
    bool missing = false;
    for (size_t i = 0; i < shown && !missing; ++i)
        missing = !m_bars.contains(m_board->At(order[i]).url);
    if (!missing && now - m_barsAtMs < kBarRefreshMs)
        return;
    QStringList urls;
    for (size_t i = 0; i < shown; ++i)
        urls << m_board->At(order[i]).url;
    const auto counts = HistoryStore::ReadHourlyCounts(m_historyPath, urls, now);
    QHash<QString, QByteArray> bars;
    for (const QString& url : urls) {
        QByteArray marks(24, '-');
        const auto it = counts.constFind(url);
        for (int h = 0; it != counts.cend() && h < 24; ++h) {
            const auto& hour = (*it)[h];
            marks[h] = hour.checks == 0 ? '-' : hour.normal == hour.checks ? 'o' : hour.normal == 0 ? 'x' : 'p';
        }
        bars.insert(url, marks);
    }
    if (bars != m_bars)
        ++m_barsGeneration;
    m_bars = std::move(bars);
    m_barsAtMs = now;
}

WebAnswer StatusPage::Index()
{
    RefreshBars();
    const SiteBoard& b = *m_board;
    QString html = PageHead(Persist::ProgramTitle() + u" 状态"_s);
    const int normal = b.Count() - b.AbnormalCount() - b.UncheckedCount();
    html += u"<section id=\"summary\" class=\"cards\">"
            "<div class=\"card\"><b id=\"s-sites\">%1</b><span>网站</span></div>"
            "<div class=\"card bad\"><b id=\"s-abnormal\">%2</b><span>不正常</span></div>"
            "<div class=\"card good\"><b id=\"s-normal\">%3</b><span>正常</span></div>"
            "<div class=\"card\"><b id=\"s-unchecked\">%4</b><span>未检查</span></div>"
            "<div class=\"card\"><b id=\"s-passes\">%5</b><span>已完成遍数</span></div>"
            "<div class=\"card\"><b id=\"s-last\">%6</b><span id=\"s-last-at\">上一遍用时%7</span></div>"
            "</section>"_s.arg(b.Count())
                .arg(b.AbnormalCount())
                .arg(normal)
                .arg(b.UncheckedCount())
                .arg(b.Passes())
                .arg(b.Passes() > 0 ? DurationText(b.LastPassMs()) : u"—"_s,
                    b.Passes() > 0 ? u"（结束于 %1）"_s.arg(TimeText(b.LastPassEndedAtMs())) : QString());

    const std::vector<int>& order = b.AbnormalOrder();
    html += u"<section id=\"abnormal\"><h2>不正常的网站</h2><p id=\"abnormal-none\" "
            u"class=\"note\"%1>没有不正常的网站。</p>"
            "<table class=\"sites\"%2><thead><tr><th>网址</th><th>状态码</th><th>原因</th><th>不正常自</th>"
            "<th>响应时间</th><th>24 小时</th></tr></thead><tbody id=\"abnormal-rows\">"_s.arg(
                order.empty() ? QString() : u" hidden"_s, order.empty() ? u" hidden"_s : QString());
    QByteArray out = html.toUtf8();
    // Long URLs could push the page past its size: the rows stop at the budget, the rest are counted.
    size_t shown = 0;
    for (; shown < std::min(order.size(), size_t(kAbnormalShown)); ++shown) {
        const SiteBoard::Entry& e = b.At(order[shown]);
        const QByteArray row
            = u"<tr><td data-label=\"网址\" class=\"url\">%1</td><td data-label=\"状态码\">%2</td>"
              "<td data-label=\"原因\">%3</td><td data-label=\"不正常自\">%4</td>"
              "<td data-label=\"响应时间\">%5</td><td data-label=\"24 小时\">%6</td></tr>"_s
                  .arg(SiteLink(e), Esc(StatusText(e)), Esc(FailureReasonText(e.reason, e.reasonDetail)),
                      TimeText(e.abnormalSinceMs), ElapsedText(e), BarSvg(Bar(order[shown])))
                  .toUtf8();
        if (out.size() + row.size() > kIndexRowBytes)
            break;
        out += row;
    }
    html = u"</tbody></table><p id=\"abnormal-more\" class=\"note\"%1>等 <span id=\"abnormal-rest\">%2</span> 个，"
           "<a href=\"/sites?state=abnormal\">查看全部不正常的网站</a></p></section>"_s.arg(
               order.size() > shown ? QString() : u" hidden"_s, QString::number(order.size() - shown));

    html += u"<section id=\"all\"><h2>全部网站</h2>"_s + SearchForm(u"all"_s, {})
        + u"<p id=\"all-link\"><a href=\"/sites\">分页查看全部网站</a></p>"_s + u"<div id=\"list\" hidden>"_s
        + ListTable({}, u"list-rows"_s)
        + u"<nav class=\"pager\"><button id=\"prev\" type=\"button\">上一页</button><span id=\"page-info\"></span>"
          "<button id=\"next\" type=\"button\">下一页</button></nav></div></section>"_s;
    html
        += u"<p id=\"updated\" class=\"note\"></p></main><script src=\"/assets/status.js\" defer></script></body></html>\n"_s;
    return { 200, "text/html; charset=utf-8", out + html.toUtf8(), kPageHeaders };
}

WebAnswer StatusPage::SiteList(const WebRequest& request)
{
    const ListQuery q = ParseListQuery(request.query);
    const SiteBoard::Selection selection = m_board->Select(q.filter, q.text, q.page, kPageSize);
    QString rows;
    rows.reserve(qsizetype(selection.rows.size()) * 400);
    for (const int row : selection.rows)
        rows += ListRow(m_board->At(row));
    QString html = PageHead(Persist::ProgramTitle() + u" 全部网站"_s);
    html += u"<section><h2>全部网站</h2>"_s + SearchForm(q.filterKey, q.text) + Pager(selection, q.filterKey, q.text)
        + ListTable(rows, u"list-rows"_s) + Pager(selection, q.filterKey, q.text)
        + u"</section></main></body></html>\n"_s;
    return Html(html);
}

WebAnswer StatusPage::SitePage(const QByteArray& id)
{
    const int index = m_board->Find(id);
    if (index < 0)
        return NotFound(false);
    const SiteBoard::Entry& e = m_board->At(index);
    const qint64 now = m_clock();
    const SiteHistory history
        = m_historyPath.isEmpty() ? SiteHistory() : HistoryStore::ReadSite(m_historyPath, e.url, now);
    QString html = PageHead(e.shown);
    html += u"<section><h2 class=\"url\">%1</h2><dl class=\"facts\">"
            "<dt>状态</dt><dd class=\"%2\">%3</dd><dt>状态码</dt><dd>%4</dd><dt>原因</dt><dd>%5</dd>"
            "<dt>不正常自</dt><dd>%6</dd><dt>响应时间</dt><dd>%7</dd><dt>检查于</dt><dd>%8</dd>"
            "<dt>可用率</dt><dd>24 小时 %9，7 天 %10，30 天 %11</dd></dl></section>"_s.arg(Esc(e.shown),
                StateKey(e.state), StateText(e.state), Esc(StatusText(e)),
                Esc(FailureReasonText(e.reason, e.reasonDetail)), TimeText(e.abnormalSinceMs), ElapsedText(e),
                TimeText(e.checkedAtMs), UptimeText(history.uptime24h), UptimeText(history.uptime7d),
                UptimeText(history.uptime30d));
    html += u"<section><h2>24 小时响应时间</h2>"_s
        + (history.known ? ChartSvg(history, now) : u"<p class=\"note\">历史记录中还没有这个网站。</p>"_s)
        + u"</section>"_s;

    html += u"<section><h2>最近的检查</h2><table class=\"sites\"><thead><tr><th>时间</th><th>结果</th><th>状态码</th>"
            "<th>原因</th><th>响应时间</th></tr></thead><tbody>"_s;
    for (const SiteBoard::Check& check : m_board->RecentChecks(index)) {
        html
            += u"<tr class=\"%1\"><td data-label=\"时间\">%2</td><td data-label=\"结果\">%3</td>"
               "<td data-label=\"状态码\">%4</td><td data-label=\"原因\">%5</td><td data-label=\"响应时间\">%6</td></tr>"_s
                   .arg(check.normal ? u"normal"_s : u"abnormal"_s, TimeText(check.atMs),
                       check.normal ? u"正常"_s : u"不正常"_s, Esc(StatusColumnText(e.byStatus, check.status)),
                       Esc(FailureReasonText(check.reason)), DurationText(check.elapsedMs));
    }
    html += u"</tbody></table></section><section><h2>状态变化</h2>"_s;
    if (history.changes.isEmpty()) {
        html += u"<p class=\"note\">没有记录。</p>"_s;
    } else {
        html += u"<table class=\"sites\"><thead><tr><th>时间</th><th>变为</th><th>状态码</th></tr></thead><tbody>"_s;
        for (const SiteHistory::Change& change : history.changes) {
            html += u"<tr class=\"%1\"><td data-label=\"时间\">%2</td><td data-label=\"变为\">%3</td>"
                    "<td data-label=\"状态码\">%4</td></tr>"_s.arg(change.normal ? u"normal"_s : u"abnormal"_s,
                        TimeText(change.atMs), change.normal ? u"正常"_s : u"不正常"_s,
                        change.status > 0 ? QString::number(change.status) : u"—"_s);
        }
        html += u"</tbody></table>"_s;
    }
    html += u"</section></main></body></html>\n"_s;
    return Html(html);
}

WebAnswer StatusPage::ApiStatus(const WebRequest& request)
{
    RefreshBars();
    const QByteArray etag
        = "\"t" + QByteArray::number(m_board->TopVersion()) + "-b" + QByteArray::number(m_barsGeneration) + "\"";
    if (Unchanged(request, etag))
        return NotModified(etag);
    const SiteBoard& b = *m_board;
    const std::vector<int>& order = b.AbnormalOrder();
    const size_t shown = std::min(order.size(), size_t(kAbnormalShown));
    QJsonArray abnormal;
    for (size_t i = 0; i < shown; ++i) {
        QJsonObject o = EntryJson(b.At(order[i]));
        const QByteArray bar = Bar(order[i]);
        if (!bar.isEmpty())
            o.insert(u"bar"_s, QString::fromLatin1(bar));
        abnormal.append(o);
    }
    QJsonObject o {
        { u"version"_s, Persist::ProgramVersion() },
        { u"sites"_s, b.Count() },
        { u"abnormal"_s, b.AbnormalCount() },
        { u"normal"_s, b.Count() - b.AbnormalCount() - b.UncheckedCount() },
        { u"unchecked"_s, b.UncheckedCount() },
        { u"passes"_s, b.Passes() },
        { u"lastPassMs"_s, b.LastPassMs() },
        { u"lastPassText"_s, b.Passes() > 0 ? DurationText(b.LastPassMs()) : u"—"_s },
        { u"lastPassEndedAtMs"_s, b.LastPassEndedAtMs() },
        { u"lastPassEndedAtText"_s, TimeText(b.LastPassEndedAtMs()) },
        { u"abnormalSites"_s, abnormal },
        { u"abnormalMore"_s, qint64(order.size() - shown) },
    };
    return Json(o, etag);
}

WebAnswer StatusPage::ApiSites(const WebRequest& request)
{
    const ListQuery q = ParseListQuery(request.query);
    const QByteArray etag = "\"v" + QByteArray::number(m_board->Version()) + "\"";
    if (Unchanged(request, etag))
        return NotModified(etag);
    const SiteBoard::Selection selection = m_board->Select(q.filter, q.text, q.page, kPageSize);
    QJsonArray sites;
    for (const int row : selection.rows)
        sites.append(EntryJson(m_board->At(row)));
    return Json(
        {
            { u"state"_s, q.filterKey },
            { u"q"_s, q.text },
            { u"page"_s, selection.page },
            { u"pages"_s, selection.pages },
            { u"pageSize"_s, kPageSize },
            { u"total"_s, selection.total },
            { u"sites"_s, sites },
        },
        etag);
}

WebAnswer StatusPage::ApiSite(const QByteArray& id)
{
    const int index = m_board->Find(id);
    if (index < 0)
        return NotFound(true);
    const SiteBoard::Entry& e = m_board->At(index);
    QJsonObject o = EntryJson(e);
    QJsonArray checks;
    for (const SiteBoard::Check& check : m_board->RecentChecks(index)) {
        checks.append(QJsonObject {
            { u"atMs"_s, check.atMs },
            { u"normal"_s, check.normal },
            { u"status"_s, check.status },
            { u"reason"_s, FailureReasonKey(check.reason) },
            { u"elapsedMs"_s, check.elapsedMs },
        });
    }
    o.insert(u"recentChecks"_s, checks);
    if (!m_historyPath.isEmpty()) {
        const SiteHistory history = HistoryStore::ReadSite(m_historyPath, e.url, m_clock());
        if (history.known) {
            QJsonArray changes;
            for (const SiteHistory::Change& change : history.changes) {
                changes.append(QJsonObject {
                    { u"atMs"_s, change.atMs }, { u"normal"_s, change.normal }, { u"status"_s, change.status } });
            }
            QJsonArray hours;
            for (const auto& point : history.responseTimes24h) {
                hours.append(QJsonObject { { u"hourMs"_s, point.hourMs },
                    { u"averageMs"_s, point.averageMs < 0 ? QJsonValue() : QJsonValue(std::round(point.averageMs)) },
                    { u"maxMs"_s, point.maxMs }, { u"failedChecks"_s, point.failedChecks } });
            }
            auto share = [](double v) { return v < 0 ? QJsonValue() : QJsonValue(v); };
            o.insert(u"history"_s,
                QJsonObject { { u"uptime24h"_s, share(history.uptime24h) }, { u"uptime7d"_s, share(history.uptime7d) },
                    { u"uptime30d"_s, share(history.uptime30d) }, { u"changes"_s, changes }, { u"hours"_s, hours } });
        }
    }
    return Json(o);
}

WebAnswer StatusPage::Asset(const QByteArray& name)
{
    if (name == "status.js")
        return { 200, "text/javascript; charset=utf-8", QByteArray(kStatusScript), kPageHeaders };
    if (name == "status.css")
        return { 200, "text/css; charset=utf-8", QByteArray(kStatusStyle), kPageHeaders };
    return NotFound(false);
}
