#include "cli/check_line_format.h"

#include "monitor/csv_field.h"
#include "monitor/monitoring_run.h"

using namespace Qt::StringLiterals;

namespace {

// A tab or line break inside a field (a URL may keep its tabs) would shift every following column.
void AppendTsvField(QByteArray& line, const QString& text)
{
    QByteArray bytes = text.toUtf8();
    for (char& c : bytes) {
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    }
    line += bytes;
}

// A JSON string literal, quotes included.
QByteArray JsonQuoted(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[byte >> 4];
                out += hex[byte & 0xf];
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

} // namespace

QByteArray CsvHeaderLine()
{
    return QByteArray("遍数,行号,网址,正常/不正常,状态码,找到位置,响应时间,原因\r\n");
}

QByteArray FormatCheckLine(const CheckRecord& record, HeadlessOptions::Format format)
{
    const QString statusText = record.StatusText();
    QByteArray line;
    line.reserve(160 + record.url.size() * 3 + statusText.size() * 3);
    if (format == HeadlessOptions::Format::Jsonl) {
        line += "{\"pass\":" + QByteArray::number(record.pass);
        line += ",\"row\":" + QByteArray::number(record.row);
        line += ",\"url\":" + JsonQuoted(record.url);
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
        line += CsvField(record.url).toUtf8();
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
    AppendTsvField(line, record.url);
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
