#pragma once

#include <QByteArray>
#include <QString>

// A site list file: one URL per line, UTF-8 (BOM allowed) or, when that does not decode, GB18030;
// LF or CR LF. The result is CR LF separated, as the window keeps its list.
QString DecodeSiteListBytes(QByteArray bytes);

// Reads and decodes the file; false with a message when it cannot be read or is too large.
bool ReadSiteListFile(const QString& path, QString* listText, QString* error);
