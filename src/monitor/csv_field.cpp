#include "monitor/csv_field.h"

#include <QRegularExpression>

#include <algorithm>

using namespace Qt::StringLiterals;

bool IsControl(QChar c)
{
    return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F);
}

QString EscapedControls(const QString& text, QStringView keep)
{
    auto escaped = [keep](QChar c) { return IsControl(c) && !keep.contains(c); };
    if (std::none_of(text.cbegin(), text.cend(), escaped))
        return text;
    QString out;
    out.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (escaped(c))
            out += u"\\u%1"_s.arg(uint(c.unicode()), 4, 16, QChar(u'0'));
        else
            out += c;
    }
    return out;
}

QString CsvField(const QString& text)
{
    static const QRegularExpression needsQuotes(u"[\",\r\n]|^\\s|\\s$"_s);
    QString cell = EscapedControls(text, u"\t\r\n");
    if (!cell.isEmpty() && u"=+-@\t\r"_s.contains(cell.front()))
        cell.prepend(u'\'');
    if (!needsQuotes.match(cell).hasMatch())
        return cell;
    cell.replace(u'"', u"\"\""_s);
    return u'"' + cell + u'"';
}
