#include "cli/check_line_format.h"

#include "http/url_text.h"
#include "monitor/csv_field.h"
#include "monitor/monitoring_run.h"

using namespace Qt::StringLiterals;

namespace {

// A tab or line break inside a field (a URL may keep its tabs) would shift every following column.
void AppendTsvField(QByteArray& line, QString text)
{
    for (QChar& c : text) {
        if (c == u'\t' || c == u'\n' || c == u'\r')
            c = u' ';
    }
    line += EscapedControls(text).toUtf8();
}

// A JSON string literal, quotes included; DEL and C1 are escaped too, as no reader needs them raw.
QByteArray JsonQuoted(const QString& text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += u'"';
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\') {
            out += u'\\';
            out += c;
        } else if (c == u'\n') {
            out += u"\\n"_s;
        } else if (c == u'\r') {
            out += u"\\r"_s;
        } else if (c == u'\t') {
            out += u"\\t"_s;
        } else if (IsControl(c)) {
            out += EscapedControls(QString(c));
        } else {
            out += c;
        }
    }
    out += u'"';
    return out.toUtf8();
}

} // namespace

QByteArray CsvHeaderLine()
{
    return QByteArray("遍数,行号,网址,正常/不正常,状态码,找到位置,响应时间,原因\r\n");
}

QByteArray FormatCheckLine(const CheckRecord& record, HeadlessOptions::Format format)
{
    const QString statusText = record.StatusText();
    const QString url = RedactedUrl(record.url);
    QByteArray line;
    line.reserve(160 + url.size() * 3 + statusText.size() * 3);
    if (format == HeadlessOptions::Format::Jsonl) {
        line += "{\"pass\":" + QByteArray::number(record.pass);
        line += ",\"row\":" + QByteArray::number(record.row);
        line += ",\"url\":" + JsonQuoted(url);
        line += record.normal ? ",\"normal\":true" : ",\"normal\":false";
        line += ",\"status\":" + QByteArray::number(record.status);
        line += ",\"status_text\":" + JsonQuoted(statusText);
        line += ",\"found\":" + QByteArray::number(record.found);
        line += ",\"found_text\":" + JsonQuoted(record.FoundText());
        line += ",\"elapsed_ms\":" + QByteArray::number(record.elapsedMs);
        line += ",\"response_time\":" + JsonQuoted(record.ResponseTime());
        line += ",\"cert_expires\":" + (record.certExpires > 0 ? QByteArray::number(record.certExpires) : "null");
        line += ",\"reason\":"
            + (record.reason == FailureReason::None ? QByteArray("null") : JsonQuoted(record.ReasonText()));
        line += "}\n";
        return line;
    }
    if (format == HeadlessOptions::Format::Csv) {
        line += QByteArray::number(record.pass) + ',' + QByteArray::number(record.row) + ',';
        line += CsvField(url).toUtf8();
        line += record.normal ? ",正常," : ",不正常,";
        line += CsvField(statusText).toUtf8();
        line += ',';
        line += CsvField(record.FoundText()).toUtf8();
        line += ',';
        line += CsvField(record.ResponseTime()).toUtf8();
        line += ',';
        line += CsvField(record.ReasonText()).toUtf8();
        line += "\r\n";
        return line;
    }
    line += QByteArray::number(record.pass);
    line += '\t';
    line += QByteArray::number(record.row);
    line += '\t';
    AppendTsvField(line, url);
    line += '\t';
    AppendTsvField(line, record.normal ? u"正常"_s : u"不正常"_s);
    line += '\t';
    AppendTsvField(line, statusText);
    line += '\t';
    AppendTsvField(line, record.FoundText());
    line += '\t';
    AppendTsvField(line, record.ResponseTime());
    line += '\n';
    return line;
}
