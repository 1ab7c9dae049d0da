#include "monitor/keyword_search.h"

#include <QTextCodec>

#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

// One bit per BMP code unit: set when GB18030 encodes it in two bytes (GBK and its extensions).
class Gb18030Widths final
{
public:
    Gb18030Widths()
    {
        QTextCodec* codec = QTextCodec::codecForName("GB18030");
        if (!codec)
            return;
        QString all;
        all.reserve(0x10000 - 0x80 - 0x800);
        for (char32_t c = 0x80; c < 0x10000; ++c) {
            if (c < 0xD800 || c > 0xDFFF)
                all.append(QChar(char16_t(c)));
        }
        // The encoded bytes tell their own width: a second byte 0x30..0x39 starts a four-byte sequence.
        const QByteArray bytes = codec->fromUnicode(all);
        qsizetype at = 0;
        for (QChar c : std::as_const(all)) {
            if (at + 1 >= bytes.size())
                break;
            const auto second = static_cast<unsigned char>(bytes[at + 1]);
            const bool four = second >= 0x30 && second <= 0x39;
            if (!four)
                m_twoBytes[c.unicode() >> 6] |= quint64(1) << (c.unicode() & 63);
            at += four ? 4 : 2;
        }
    }

    bool TwoBytes(char16_t c) const { return (m_twoBytes[c >> 6] >> (c & 63)) & 1; }

private:
    std::array<quint64, 0x10000 / 64> m_twoBytes {};
};

const Gb18030Widths& Widths()
{
    static const Gb18030Widths widths;
    return widths;
}

char16_t FoldAscii(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

QString FoldAscii(QStringView text)
{
    QString folded(text.size(), Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(folded.data());
    const char16_t* in = text.utf16();
    for (qsizetype i = 0; i < text.size(); ++i)
        out[i] = FoldAscii(in[i]);
    return folded;
}

// Horspool search folding the page on the fly: pages run to megabytes, and a folded copy of each would double
// the memory of every worker. The skip table is keyed by the low byte, so CJK text only skips a little less.
qsizetype IndexOfFolded(QStringView haystack, QStringView foldedNeedle)
{
    const qsizetype n = haystack.size();
    const qsizetype m = foldedNeedle.size();
    if (m == 0)
        return 0;
    if (m > n)
        return -1;
    const char16_t* hay = haystack.utf16();
    const char16_t* needle = foldedNeedle.utf16();
    std::array<qsizetype, 256> skip;
    skip.fill(m);
    for (qsizetype i = 0; i + 1 < m; ++i)
        skip[needle[i] & 0xFF] = m - 1 - i;
    const char16_t last = needle[m - 1];
    for (qsizetype pos = 0; pos <= n - m;) {
        const char16_t c = FoldAscii(hay[pos + m - 1]);
        if (c == last) {
            qsizetype j = m - 2;
            while (j >= 0 && FoldAscii(hay[pos + j]) == needle[j])
                --j;
            if (j < 0)
                return pos;
        }
        pos += skip[c & 0xFF];
    }
    return -1;
}

bool HasAsciiLetter(QStringView text)
{
    return std::any_of(
        text.begin(), text.end(), [](QChar c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); });
}

qsizetype IndexOf(const QString& text, const QString& keyword, bool caseInsensitive)
{
    // Without letters in the keyword, folding cannot change what matches: Qt's vectorised search will do.
    if (!caseInsensitive || !HasAsciiLetter(keyword))
        return text.indexOf(keyword);
    if (keyword.size() == 1) {
        const qsizetype lower = text.indexOf(QChar(FoldAscii(keyword.front().unicode())), 0, Qt::CaseSensitive);
        const qsizetype upper
            = text.indexOf(QChar(char16_t(FoldAscii(keyword.front().unicode()) - 32)), 0, Qt::CaseSensitive);
        return lower < 0 ? upper : (upper < 0 ? lower : std::min(lower, upper));
    }
    return IndexOfFolded(text, FoldAscii(keyword));
}

// 1-based GB18030 byte position of the keyword in the text, or -1.
int Find(const QString& text, const QString& keyword, bool caseInsensitive, bool wholeText)
{
    if (wholeText) {
        if (text.size() != keyword.size())
            return -1;
        return IndexOf(text, keyword, caseInsensitive) == 0 ? 1 : -1;
    }
    const qsizetype at = IndexOf(text, keyword, caseInsensitive);
    if (at < 0)
        return -1;
    const qsizetype bytes = Gb18030Length(QStringView(text).first(at)) + 1;
    return bytes > INT_MAX ? INT_MAX : int(bytes);
}

} // namespace

qsizetype Gb18030Length(QStringView text)
{
    const Gb18030Widths& widths = Widths();
    const char16_t* p = text.utf16();
    const char16_t* const end = p + text.size();
    qsizetype bytes = 0;
    while (p < end) {
        const char16_t c = *p++;
        if (c < 0x80) {
            ++bytes;
        } else if (QChar::isHighSurrogate(c) && p < end && QChar::isLowSurrogate(*p)) {
            bytes += 4;
            ++p;
        } else if (QChar::isSurrogate(c)) {
            ++bytes; // the codec writes a lone surrogate as "?"
        } else {
            bytes += widths.TwoBytes(c) ? 2 : 4;
        }
    }
    return bytes;
}

QString ToTraditionalChinese(const QString& text)
{
    // ICU transliterators are not safe for concurrent use; the retry is rare, so one shared instance will do.
    static std::mutex mutex;
    static std::unique_ptr<icu::Transliterator> transliterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Transliterator> created(
            icu::Transliterator::createInstance(icu::UnicodeString(u"Hans-Hant"), UTRANS_FORWARD, status));
        return U_SUCCESS(status) ? std::move(created) : nullptr;
    }();
    if (!transliterator || text.isEmpty())
        return text;
    icu::UnicodeString converted(reinterpret_cast<const UChar*>(text.utf16()), int32_t(text.size()));
    {
        const std::lock_guard lock(mutex);
        transliterator->transliterate(converted);
    }
    return QString(reinterpret_cast<const QChar*>(converted.getBuffer()), converted.length());
}

bool KeywordSearch(const QString& text, const QString& keywords, const KeywordSearchOptions& options,
    KeywordSearchOutput* output, const QStringList& list)
{
    KeywordSearchOutput local;
    KeywordSearchOutput& out = output ? *output : local;
    out.foundPosition = -1;
    out.matchedKeyword.clear();
    if (options.keywordsAsList) {
        out.keywords = list;
    } else {
        const QString separator = options.separator.isEmpty() ? u"|"_s : options.separator;
        out.keywords = keywords.split(separator, Qt::KeepEmptyParts, Qt::CaseSensitive);
    }

    int tried = 0;
    int matches = 0;
    for (const QString& keyword : std::as_const(out.keywords)) {
        if (keyword.isEmpty())
            continue;
        ++tried;
        int position = Find(text, keyword, options.caseInsensitive, options.wholeText);
        if (position == -1 && options.traditionalRetry) {
            const QString traditional = ToTraditionalChinese(keyword);
            if (traditional != keyword)
                position = Find(text, traditional, options.caseInsensitive, options.wholeText);
        }
        out.foundPosition = position;
        if (position != -1) {
            ++matches;
            if (!options.allMode || options.stopAtFirst) {
                out.matchedKeyword = keyword;
                return true;
            }
        } else if (options.allMode) {
            return false;
        }
    }
    return matches == tried && tried != 0;
}
