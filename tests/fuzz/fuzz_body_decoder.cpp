// Charset detection and decoding of arbitrary response bodies and headers: a known name or none, no
// runaway output, UTF-8 checked the same way Qt's own decoder checks it.
#include "http/body_decoder.h"

#include "fuzz_input.h"

#include <QStringDecoder>
#include <QTextCodec>

namespace {

bool QtSaysUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    return !decoder.hasError();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const quint8 flags = in.Byte();
    const int charsetCode = flags & 1 ? kCharsetUtf8 : (flags & 2 ? kCharsetDetect : int(flags >> 2));
    const QString headers = QString::fromLatin1(in.Piece());
    const QByteArray label = in.Piece();
    const QByteArray body = in.Rest();

    const QByteArray canonical = CanonicalCharset(label);
    if (!canonical.isEmpty())
        FUZZ_CHECK(QTextCodec::codecForName(canonical) != nullptr);

    const QByteArray detected = DetectBodyCharset(body, charsetCode, headers);
    FUZZ_CHECK(!detected.isEmpty() && QTextCodec::codecForName(detected) != nullptr);

    const QString text = DecodeBody(body, charsetCode, headers);
    // One byte never turns into more than a few characters, whatever the codec.
    FUZZ_CHECK(text.size() <= 3 * body.size() + 1);
    if (charsetCode == kCharsetUtf8)
        FUZZ_CHECK(text == QString::fromUtf8(body.startsWith("\xEF\xBB\xBF") ? body.mid(3) : body));

    // A trailing ASCII byte makes a cut last character an error for both.
    FUZZ_CHECK(IsValidUtf8(body + 'A') == QtSaysUtf8(body + 'A'));
    if (IsValidUtf8(body + 'A'))
        FUZZ_CHECK(IsValidUtf8(body));
    if (HeadersAnnounceUtf8(headers))
        FUZZ_CHECK(headers.contains(u"utf-8"_s, Qt::CaseInsensitive));
    return 0;
}
