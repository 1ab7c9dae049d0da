#pragma once

#include "cli/headless_options.h"

#include <QByteArray>
#include <QString>

struct CheckRecord;

// One finished check as one UTF-8 output line, "\n" included.
QByteArray FormatCheckLine(const CheckRecord& record, HeadlessOptions::Format format);

// CSV (RFC 4180): the header line of --format csv, and one field quoted only when it needs it.
QByteArray CsvHeaderLine();
void AppendCsvField(QByteArray& line, const QString& text);

// A JSON string literal (quotes included) for the text.
QByteArray JsonQuoted(const QString& text);
