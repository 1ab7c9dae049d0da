#pragma once

#include <QByteArray>
#include <QString>

// Charset code of a page fetch: 2 means the body is UTF-8; any other code lets the decoder decide.
inline constexpr int kCharsetDetect = 0;
inline constexpr int kCharsetUtf8 = 2;

// True when the response headers announce UTF-8 ("charset=utf-8", also quoted), letter case ignored.
bool HeadersAnnounceUtf8(const QString& headers);

// The charset of a body as a codec name, in the order: code 2, byte-order mark, Content-Type header,
// <meta> in the page, valid UTF-8, else GB18030.
QByteArray DetectBodyCharset(const QByteArray& body, int charsetCode, const QString& headers);

// Converts the body to text in the detected charset; bad byte sequences become U+FFFD.
QString DecodeBody(const QByteArray& body, int charsetCode, const QString& headers);

// Codec name for a charset label from a header or page ("gb2312" -> "GB18030"); empty if unknown.
QByteArray CanonicalCharset(QByteArrayView label);

// True when the bytes are UTF-8; an incomplete sequence at the very end is allowed, as a capped or cut
// body may end inside a character.
bool IsValidUtf8(QByteArrayView bytes);
