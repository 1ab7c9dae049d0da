#pragma once

#include <QString>

// One CSV field (RFC 4180) as the window's export and the headless output write it: quoted only when it holds a
// quote, a comma or a line break, or starts or ends with white space.
QString CsvField(const QString& text);
