#include "cli/site_list_file.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTextCodec>

using namespace Qt::StringLiterals;

namespace {

// Far above any real list (50,000 URLs are a few MB), low enough to refuse a wrong file quickly.
constexpr qint64 kMaxSiteListBytes = 256LL * 1024 * 1024;

} // namespace

QString DecodeSiteListBytes(QByteArray bytes)
{
    QByteArrayView view(bytes);
    if (view.startsWith("\xEF\xBB\xBF"))
        view = view.sliced(3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(view);
    if (utf8.hasError()) {
        if (QTextCodec* gb18030 = QTextCodec::codecForName("GB18030"))
            text = gb18030->toUnicode(view.data(), static_cast<int>(view.size()));
    }
    // A list of a million sites is tens of MB: the bytes go before the text is copied again.
    bytes = QByteArray();
    text.replace(u"\r\n"_s, u"\n"_s);
    if (text.endsWith(u'\n'))
        text.chop(1);
    text.replace(u'\n', u"\r\n"_s);
    return text;
}

bool ReadSiteListFile(const QString& path, QString* listText, QString* error)
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
    *listText = DecodeSiteListBytes(std::move(bytes));
    return true;
}
