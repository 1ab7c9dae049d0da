#include "monitor/csv_field.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

QString CsvField(const QString& text)
{
    static const QRegularExpression needsQuotes(u"[\",\r\n]|^\\s|\\s$"_s);
    if (!needsQuotes.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(u'"', u"\"\""_s);
    return u'"' + quoted + u'"';
}
