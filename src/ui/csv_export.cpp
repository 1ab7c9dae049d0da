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
    QString text = u"网址,结果,状态码,状态,找到位置,响应毫秒,原因\r\n"_s;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex first = model->index(row, 0);
        const int state = first.data(ReportModel::StateRole).toInt();
        // "404|Not Found", or a text without a code ("无查询").
        const QString status = model->index(row, 1).data().toString();
        const qsizetype bar = status.indexOf(u'|');
        const QVariant elapsed = first.data(ReportModel::ElapsedRole);
        const QString reason = first.data(ReportModel::ReasonRole).toString();
        const QStringList fields { CsvField(first.data().toString()),
            state == ReportModel::StateNormal         ? u"正常"_s
                : state == ReportModel::StateAbnormal ? u"不正常"_s
                                                      : QString(),
            CsvField(bar >= 0 ? status.left(bar) : QString()), CsvField(bar >= 0 ? status.mid(bar + 1) : status),
            CsvField(model->index(row, 2).data().toString()),
            elapsed.isNull() ? QString() : QString::number(elapsed.toLongLong()), CsvField(reason) };
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

QString CsvExportPath(const QString& chosen)
{
    return QFileInfo(chosen).suffix().isEmpty() ? chosen + u".csv"_s : chosen;
}

void ExportCsv(QWidget* parent, const QAbstractItemModel* model)
{
    QString path = QFileDialog::getSaveFileName(parent, u"导出为 CSV"_s, QString(), u"CSV 文件 (*.csv)"_s);
    if (path.isEmpty())
        return;
    path = CsvExportPath(path);
    if (!WriteCsv(model, path))
        MessageBox::Notify(parent, u"无法写入文件：%1"_s.arg(path), u"导出"_s);
}
