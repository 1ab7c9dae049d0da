#pragma once

#include <QByteArray>
#include <QString>

#include <QList>

// A site list file: one URL per line, LF or CR LF, UTF-8 (BOM allowed). Each line that is not UTF-8 is read as
// GB18030 on its own, so one stray byte cannot change how the other lines read; the numbers (from 1) of lines
// that are neither go to undecodable. The result is CR LF separated, as the window keeps its list.
QString DecodeSiteListBytes(QByteArray bytes, QList<qsizetype>* undecodable = nullptr);

// Reads and decodes the file; false with a message when it cannot be read or is too large. A warning names the
// lines that are neither UTF-8 nor GB18030 (empty when there are none).
bool ReadSiteListFile(const QString& path, QString* listText, QString* error, QString* warning = nullptr);
