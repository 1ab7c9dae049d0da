#pragma once

#include "cli/headless_options.h"

#include <QByteArray>
#include <QString>

struct CheckRecord;

// One finished check as one UTF-8 output line, "\n" included.
QByteArray FormatCheckLine(const CheckRecord& record, HeadlessOptions::Format format);

// The header line of --format csv.
QByteArray CsvHeaderLine();
