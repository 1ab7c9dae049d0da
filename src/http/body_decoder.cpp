#include "http/body_decoder.h"

#include <QStringDecoder>
#include <QTextCodec>

#include <climits>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

// Pages put <meta charset> near the top; scanning further costs time on every fetch for nothing.
constexpr qsizetype kMetaScanBytes = 16 * 1024;

struct Detected
{
    QByteArray name;
    qsizetype skip = 0; // byte-order mark length
};

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

bool IsLabelChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
        || c == '.' || c == ':';
}

// The label after "charset" at `pos` in lower-cased text: spaces, "=", spaces, an optional quote, a token.
QByteArray LabelAfterCharset(QByteArrayView text, qsizetype pos)
{
    pos += 7;
    auto skipSpaces = [&] {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n'))
            ++pos;
    };
    skipSpaces();
    if (pos >= text.size() || text[pos] != '=')
        return {};
    ++pos;
    skipSpaces();
    while (pos < text.size() && (text[pos] == '"' || text[pos] == '\''))
        ++pos;
    const qsizetype start = pos;
    while (pos < text.size() && IsLabelChar(text[pos]))
        ++pos;
    return text.sliced(start, pos - start).toByteArray();
}

QByteArray HeaderCharset(const QString& headers)
{
    QByteArray found;
    const QByteArray raw = headers.toLatin1();
    for (const QByteArray& rawLine : raw.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.size() < 13 || qstrnicmp(line.constData(), "content-type:", 13) != 0)
            continue;
        const QByteArray lower = line.toLower();
        const qsizetype at = lower.indexOf("charset");
        if (at >= 0) {
            const QByteArray label = LabelAfterCharset(lower, at);
            if (!label.isEmpty())
                found = label; // the last Content-Type wins, as browsers do
        }
    }
    return found;
}

QByteArray MetaCharset(const QByteArray& body)
{
    QByteArray head = body.left(kMetaScanBytes);
    for (char& c : head)
        c = AsciiLower(c);
    qsizetype at = 0;
    while ((at = head.indexOf("<meta", at)) >= 0) {
        qsizetype end = head.indexOf('>', at);
        if (end < 0)
            end = head.size();
        const QByteArrayView tag = QByteArrayView(head).sliced(at, end - at);
        qsizetype c = 0;
        while ((c = tag.indexOf("charset", c)) >= 0) {
            const QByteArray label = LabelAfterCharset(tag, c);
            if (!label.isEmpty())
                return label;
            c += 7;
        }
        at = end;
    }
    return {};
}

Detected Detect(const QByteArray& body, int charsetCode, const QString& headers)
{
    if (charsetCode == kCharsetUtf8)
        return { "UTF-8", body.startsWith("\xEF\xBB\xBF") ? 3 : 0 };
    if (body.startsWith("\xEF\xBB\xBF"))
        return { "UTF-8", 3 };
    if (body.startsWith("\xFF\xFE"))
        return { "UTF-16LE", 2 };
    if (body.startsWith("\xFE\xFF"))
        return { "UTF-16BE", 2 };
    if (QByteArray name = CanonicalCharset(HeaderCharset(headers)); !name.isEmpty())
        return { name, 0 };
    if (QByteArray name = CanonicalCharset(MetaCharset(body)); !name.isEmpty()) {
        // A page whose <meta> could be read is not UTF-16, whatever it claims.
        if (name.startsWith("UTF-16"))
            name = "UTF-8";
        return { name, 0 };
    }
    if (IsValidUtf8(body))
        return { "UTF-8", 0 };
    return { "GB18030", 0 };
}

QString DecodeUtf16(QByteArrayView bytes, QStringDecoder::Encoding encoding)
{
    const bool odd = bytes.size() % 2 != 0;
    QStringDecoder decoder(encoding);
    QString text = decoder.decode(odd ? bytes.first(bytes.size() - 1) : bytes);
    if (odd)
        text.append(QChar::ReplacementCharacter);
    return text;
}

} // namespace

bool HeadersAnnounceUtf8(const QString& headers)
{
    return headers.contains(u"charset=utf-8"_s, Qt::CaseInsensitive)
        || headers.contains(u"charset=\"utf-8\""_s, Qt::CaseInsensitive)
        || headers.contains(u"charset='utf-8'"_s, Qt::CaseInsensitive);
}

QByteArray CanonicalCharset(QByteArrayView label)
{
    const QByteArray name = label.trimmed().toByteArray().toLower();
    if (name.isEmpty())
        return {};
    if (name == "utf-8" || name == "utf8" || name == "unicode-1-1-utf-8")
        return "UTF-8";
    // GB18030 holds GBK and GB2312 byte for byte.
    if (name == "gbk" || name == "gb2312" || name == "gb18030" || name == "x-gbk" || name == "cp936"
        || name == "windows-936" || name == "gb_2312-80" || name == "csgb2312" || name == "euc-cn" || name == "x-euc-cn"
        || name == "chinese")
        return "GB18030";
    if (name == "big5" || name == "cn-big5" || name == "x-x-big5" || name == "csbig5")
        return "Big5";
    if (name == "big5-hkscs")
        return "Big5-HKSCS";
    if (name == "utf-16le" || name == "utf-16")
        return "UTF-16LE";
    if (name == "utf-16be")
        return "UTF-16BE";
    if (const QTextCodec* codec = QTextCodec::codecForName(name))
        return codec->name();
    return {};
}

bool IsValidUtf8(QByteArrayView bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while (p < end) {
        // Pages are mostly ASCII: skip it eight bytes at a time.
        while (end - p >= 8) {
            quint64 chunk;
            std::memcpy(&chunk, p, 8);
            if (chunk & 0x8080808080808080ULL)
                break;
            p += 8;
        }
        if (p >= end)
            break;
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        int length;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0; // overlong
            else if (lead == 0xED)
                high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        for (int i = 1; i < length; ++i) {
            if (p + i >= end)
                return true; // cut inside the last character
            const unsigned char c = p[i];
            if (i == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF))
                return false;
        }
        p += length;
    }
    return true;
}

QByteArray DetectBodyCharset(const QByteArray& body, int charsetCode, const QString& headers)
{
    return Detect(body, charsetCode, headers).name;
}

QString DecodeBody(const QByteArray& body, int charsetCode, const QString& headers)
{
    if (body.isEmpty())
        return {};
    const Detected detected = Detect(body, charsetCode, headers);
    const QByteArrayView bytes = QByteArrayView(body).sliced(detected.skip);
    if (detected.name == "UTF-8")
        return QString::fromUtf8(bytes);
    if (detected.name == "UTF-16LE")
        return DecodeUtf16(bytes, QStringDecoder::Utf16LE);
    if (detected.name == "UTF-16BE")
        return DecodeUtf16(bytes, QStringDecoder::Utf16BE);
    if (const QTextCodec* codec = QTextCodec::codecForName(detected.name))
        return codec->toUnicode(bytes.data(), int(qMin<qsizetype>(bytes.size(), INT_MAX)));
    return QString::fromUtf8(bytes);
}
