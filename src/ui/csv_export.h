#pragma once

#include <QString>

class QAbstractItemModel;
class QWidget;

// UTF-8 with a byte-order mark (spreadsheets read it as UTF-8 then): URL, verdict, code and text of the status,
// found position, response time in milliseconds, reason.
// Written to a temporary file and renamed; false when that fails.
bool WriteCsv(const QAbstractItemModel* model, const QString& path);

// A chosen name without an extension gets ".csv" (the file dialog does not add it everywhere).
QString CsvExportPath(const QString& chosen);

// Asks for a file, then writes the list there; a failure is told in a message box.
void ExportCsv(QWidget* parent, const QAbstractItemModel* model);
