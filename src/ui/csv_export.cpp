#include "ui/csv_export.h"

#include "monitor/csv_field.h"
#include "monitor/report_model.h"
#include "ui/message_box.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

using namespace Qt::StringLiterals;

bool WriteCsv(const QAbstractItemModel* model, const QString& path)
{
    QString text;
    QStringList header;
    for (int column = 0; column < model->columnCount(); ++column)
        header << CsvField(model->headerData(column, Qt::Horizontal).toString());
    header << u"正常/不正常"_s;
    text += header.join(u',') + u"\r\n"_s;
    for (int row = 0; row < model->rowCount(); ++row) {
        QStringList fields;
        for (int column = 0; column < model->columnCount(); ++column)
            fields << CsvField(model->index(row, column).data().toString());
        const int state = model->index(row, 0).data(ReportModel::StateRole).toInt();
        fields << (state == ReportModel::StateNormal  ? u"正常"_s
                : state == ReportModel::StateAbnormal ? u"不正常"_s
                                                      : QString());
        text += fields.join(u',') + u"\r\n"_s;
    }
    const bool created = !QFileInfo::exists(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (created) // the rows hold the URLs as typed, passwords included
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write("\xEF\xBB\xBF");
    file.write(text.toUtf8());
    return file.commit();
}

void ExportCsv(QWidget* parent, const QAbstractItemModel* model)
{
    const QString path = QFileDialog::getSaveFileName(parent, u"导出为 CSV"_s, QString(), u"CSV 文件 (*.csv)"_s);
    if (path.isEmpty())
        return;
    if (!WriteCsv(model, path))
        MessageBox::Notify(parent, u"无法写入文件：%1"_s.arg(path), u"导出"_s);
}
