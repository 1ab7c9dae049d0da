#pragma once

#include <QString>
#include <QStringList>

// The built-in table text: 42 lines "code|description" joined by CR LF.
QString StatusCodeTableText();

// The process-wide list of table lines; empty until LoadStatusCodeList() fills it.
const QStringList& StatusCodeList();
void LoadStatusCodeList();

// The table line for the code, or the code followed by "|未明状态".
QString StatusDescription(int code);
