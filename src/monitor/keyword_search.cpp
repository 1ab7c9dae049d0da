#include "monitor/keyword_search.h"

#include <QTextCodec>

#include <unicode/translit.h>
#include <unicode/unistr.h>

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
    std::array<quint64, 0x10000 / 64> m_twoBytes{};
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

// The page text, folded once per search and only if some keyword needs it.
class Haystack final
{
public:
    Haystack(const QString& text, bool caseInsensitive)
        : m_text(text)
        , m_caseInsensitive(caseInsensitive)
    {
    }

    // 1-based GB18030 byte position of the needle, or -1.
    int Find(const QString& keyword, bool wholeText)
    {
        const QString needle = m_caseInsensitive ? FoldAscii(keyword) : keyword;
        const QString& haystack = Text();
        if (wholeText)
            return haystack == needle ? 1 : -1;
        const qsizetype at = haystack.indexOf(needle);
        if (at < 0)
            return -1;
        const qsizetype bytes = Gb18030Length(QStringView(m_text).first(at)) + 1;
        return bytes > INT_MAX ? INT_MAX : int(bytes);
    }

private:
    const QString& Text()
    {
        if (!m_caseInsensitive)
            return m_text;
        if (!m_folded) {
            m_foldedText = FoldAscii(m_text);
            m_folded = true;
        }
        return m_foldedText;
    }

    const QString& m_text;
    bool m_caseInsensitive;
    bool m_folded = false;
    QString m_foldedText;
};

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
            ++bytes;   // the codec writes a lone surrogate as "?"
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

    Haystack haystack(text, options.caseInsensitive);
    int tried = 0;
    int matches = 0;
    for (const QString& keyword : std::as_const(out.keywords)) {
        if (keyword.isEmpty())
            continue;
        ++tried;
        int position = haystack.Find(keyword, options.wholeText);
        if (position == -1 && options.traditionalRetry) {
            const QString traditional = ToTraditionalChinese(keyword);
            if (traditional != keyword)
                position = haystack.Find(traditional, options.wholeText);
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
