#pragma once

#include <QString>

class QAbstractItemModel;
class QWidget;

// UTF-8 with a byte-order mark (spreadsheets read it as UTF-8 then): the list's columns plus 正常/不正常.
// Written to a temporary file and renamed; false when that fails.
bool WriteCsv(const QAbstractItemModel* model, const QString& path);

// Asks for a file, then writes the list there; a failure is told in a message box.
void ExportCsv(QWidget* parent, const QAbstractItemModel* model);
