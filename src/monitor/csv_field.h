#pragma once

#include <QString>
#include <QStringView>

// One CSV field (RFC 4180) as the window's export and the headless output write it: quoted only when it holds a
// quote, a comma or a line break, or starts or ends with white space. A spreadsheet would run a cell starting
// with = + - @, a tab or a CR as a formula, so such a cell gets a leading "'"; other control characters are
// escaped (EscapedControls).
QString CsvField(const QString& text);

// Control characters (C0, DEL, C1) other than those in keep as "\u00XX", so that no output line carries one raw
// to a terminal or a parser.
QString EscapedControls(const QString& text, QStringView keep = {});
bool IsControl(QChar c); // C0, DEL or C1
