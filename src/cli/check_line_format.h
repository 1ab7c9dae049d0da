#pragma once

#include "cli/headless_options.h"

#include <QByteArray>

struct CheckRecord;

// One finished check as one UTF-8 output line, "\n" included.
QByteArray FormatCheckLine(const CheckRecord& record, HeadlessOptions::Format format);

// A JSON string literal (quotes included) for the text.
QByteArray JsonQuoted(const QString& text);
