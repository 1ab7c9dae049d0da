#include "cli/site_list_file.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringList>
#include <QTextCodec>

using namespace Qt::StringLiterals;

namespace {

// Far above any real list (50,000 URLs are a few MB), low enough to refuse a wrong file quickly.
constexpr qint64 kMaxSiteListBytes = 256LL * 1024 * 1024;

} // namespace

QString DecodeSiteListBytes(QByteArray bytes, QList<qsizetype>* undecodable)
{
    QByteArrayView view(bytes);
    if (view.startsWith("\xEF\xBB\xBF"))
        view = view.sliced(3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(view);
    if (utf8.hasError()) {
        // Both encodings keep ASCII as it is, so a line break is one in either.
        QTextCodec* gb18030 = QTextCodec::codecForName("GB18030");
        text.clear();
        qsizetype number = 1;
        for (qsizetype start = 0; start <= view.size(); ++number) {
            qsizetype end = view.indexOf('\n', start);
            if (end < 0)
                end = view.size();
            const QByteArrayView line = view.sliced(start, end - start);
            QStringDecoder lineUtf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            QString decoded = lineUtf8.decode(line);
            if (lineUtf8.hasError() && gb18030) {
                QTextCodec::ConverterState state;
                decoded = gb18030->toUnicode(line.data(), int(line.size()), &state);
                if ((state.invalidChars > 0 || decoded.contains(QChar::ReplacementCharacter)) && undecodable)
                    undecodable->append(number);
            }
            text += decoded;
            if (end < view.size())
                text += u'\n';
            start = end + 1;
        }
    }
    // A list of a million sites is tens of MB: the bytes go before the text is copied again.
    bytes = QByteArray();
    text.replace(u"\r\n"_s, u"\n"_s);
    if (text.endsWith(u'\n'))
        text.chop(1);
    text.replace(u'\n', u"\r\n"_s);
    return text;
}

bool ReadSiteListFile(const QString& path, QString* listText, QString* error, QString* warning)
{
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        *error = u"网站列表文件是一个目录：%1"_s.arg(path);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = u"无法读取网站列表文件 %1：%2"_s.arg(path, file.errorString());
        return false;
    }
    // Read with a cap rather than trusting size(): pipes and special files report 0.
    QByteArray bytes = file.read(kMaxSiteListBytes + 1);
    if (bytes.size() > kMaxSiteListBytes) {
        *error = u"网站列表文件过大（超过 %1 MB）：%2"_s.arg(kMaxSiteListBytes / (1024 * 1024)).arg(path);
        return false;
    }
    if (file.error() != QFileDevice::NoError) {
        *error = u"无法读取网站列表文件 %1：%2"_s.arg(path, file.errorString());
        return false;
    }
    QList<qsizetype> undecodable;
    *listText = DecodeSiteListBytes(std::move(bytes), &undecodable);
    if (warning && !undecodable.isEmpty()) {
        QStringList numbers;
        for (qsizetype i = 0; i < qMin<qsizetype>(undecodable.size(), 10); ++i)
            numbers << QString::number(undecodable[i]);
        *warning = u"网站列表文件 %1 第 %2 行既不是 UTF-8 也不是 GB18030，其中无法识别的字节已替换为 \uFFFD"_s.arg(
            path, numbers.join(u'、') + (undecodable.size() > 10 ? u" 等 %1 行"_s.arg(undecodable.size()) : QString()));
    }
    return true;
}
