// The keyword search over arbitrary pages and keyword texts: the position it reports is where the keyword's
// GB18030 bytes really start in the page's GB18030 bytes, and the byte count matches the converter's.
#include "monitor/keyword_search.h"

#include "fuzz_input.h"

#include <QTextCodec>

namespace {

QTextCodec* g_codec = nullptr;

bool WellFormed(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return false;
    }
    return true;
}

QString AsciiLower(QString text)
{
    for (QChar& c : text) {
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + 32);
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_codec = QTextCodec::codecForName("GB18030");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const quint8 flags = in.Byte();
    const QString keywords = QString::fromUtf8(in.Piece());
    // Half the pages as UTF-16 code units straight from the bytes, lone surrogates and all.
    const QByteArray pageBytes = in.Rest();
    const QString page = (flags & 0x80)
        ? QString(reinterpret_cast<const QChar*>(pageBytes.constData()), pageBytes.size() / 2)
        : QString::fromUtf8(pageBytes);

    KeywordSearchOptions options;
    options.allMode = flags & 1;
    options.stopAtFirst = flags & 2;
    options.caseInsensitive = flags & 4;
    options.wholeText = flags & 8;
    options.traditionalRetry = flags & 16;
    if (flags & 32)
        options.separator = u","_s;
    KeywordSearchOutput output;
    const bool found = KeywordSearch(page, keywords, options, &output);

    const QString separator = options.separator.isEmpty() ? u"|"_s : options.separator;
    FUZZ_CHECK(output.keywords == keywords.split(separator));
    if (!found) {
        FUZZ_CHECK(output.matchedKeyword.isEmpty());
    } else if (!options.allMode || options.stopAtFirst) {
        FUZZ_CHECK(output.keywords.contains(output.matchedKeyword) && !output.matchedKeyword.isEmpty());
        FUZZ_CHECK(output.foundPosition >= 1);
    }

    if (!WellFormed(page))
        return 0;
    const QByteArray pageGb = g_codec->fromUnicode(page);
    FUZZ_CHECK(Gb18030Length(page) == pageGb.size());

    // Where a plain substring search reports a keyword, its bytes are there.
    if (found && !options.allMode && !options.wholeText && !options.traditionalRetry
        && WellFormed(output.matchedKeyword)) {
        const QString needle = options.caseInsensitive ? AsciiLower(output.matchedKeyword) : output.matchedKeyword;
        const QByteArray haystack = g_codec->fromUnicode(options.caseInsensitive ? AsciiLower(page) : page);
        const QByteArray needleGb = g_codec->fromUnicode(needle);
        FUZZ_CHECK(haystack.mid(output.foundPosition - 1, needleGb.size()) == needleGb);
        // The first occurrence, counted in characters, not a later one.
        const qsizetype at = (options.caseInsensitive ? AsciiLower(page) : page).indexOf(needle);
        FUZZ_CHECK(at >= 0 && Gb18030Length(QStringView(page).first(at)) + 1 == output.foundPosition);
        // Keywords are tried in list order: none before the one reported occurs.
        const QString folded = options.caseInsensitive ? AsciiLower(page) : page;
        for (const QString& keyword : output.keywords) {
            if (keyword == output.matchedKeyword)
                break;
            if (!keyword.isEmpty())
                FUZZ_CHECK(!folded.contains(options.caseInsensitive ? AsciiLower(keyword) : keyword));
        }
    }
    if (flags & 64)
        ToTraditionalChinese(page.left(256));
    return 0;
}
