#include "http/body_decoder.h"

#include <QTest>
#include <QTextCodec>

using namespace Qt::StringLiterals;

namespace {

const QString kChinese = u"巡更灯：网站监控，繁體字與简体字"_s;

QByteArray Encode(const char* codec, const QString& text)
{
    return QTextCodec::codecForName(codec)->fromUnicode(text);
}

} // namespace

class TestBodyDecoder final : public QObject
{
    Q_OBJECT

private slots:
    void detectsCharset_data();
    void detectsCharset();
    void announcesUtf8();
    void decodesEncodingsAndStripsMarks();
    void badBytesBecomeReplacementCharacters();
    void validatesUtf8();
};

void TestBodyDecoder::detectsCharset_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("headers");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray gbk = Encode("GBK", kChinese);
    const QByteArray utf8 = kChinese.toUtf8();
    const QString gbkHeader = u"HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=GBK\r\n\r\n"_s;
    const QString plainHeader = u"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"_s;

    QTest::newRow("code 2 wins over everything") << gbk << 2 << gbkHeader << QByteArray("UTF-8");
    QTest::newRow("utf-8 mark beats header") << ("\xEF\xBB\xBF" + utf8) << 0 << gbkHeader << QByteArray("UTF-8");
    QTest::newRow("utf-16le mark") << QByteArray("\xFF\xFEh\0i\0", 6) << 0 << gbkHeader << QByteArray("UTF-16LE");
    QTest::newRow("utf-16be mark") << QByteArray("\xFE\xFF\0h\0i", 6) << 0 << plainHeader << QByteArray("UTF-16BE");
    QTest::newRow("header gbk") << utf8 << 0 << gbkHeader << QByteArray("GB18030");
    QTest::newRow("header quoted big5") << gbk << 0 << u"Content-Type: text/html; Charset=\"big5\"\r\n"_s
                                        << QByteArray("Big5");
    QTest::newRow("header big5-hkscs") << gbk << 0 << u"content-type: text/html;charset=Big5-HKSCS\r\n"_s
                                       << QByteArray("Big5-HKSCS");
    QTest::newRow("charset outside content-type ignored")
        << utf8 << 0 << u"X-Note: charset=gbk\r\nContent-Type: text/html\r\n"_s << QByteArray("UTF-8");
    QTest::newRow("header beats meta") << QByteArray("<meta charset=\"gb2312\">") + utf8 << 0
                                       << u"Content-Type: text/html; charset=utf-8\r\n"_s << QByteArray("UTF-8");
    QTest::newRow("meta charset") << QByteArray("<html><head><meta charset='gb2312'>") + utf8 << 0 << plainHeader
                                  << QByteArray("GB18030");
    QTest::newRow("meta http-equiv upper case")
        << QByteArray("<HTML><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; CHARSET=BIG5\">") + utf8 << 0
        << plainHeader << QByteArray("Big5");
    QTest::newRow("meta claiming utf-16 is utf-8")
        << QByteArray("<meta charset=\"utf-16\">") + gbk << 0 << plainHeader << QByteArray("UTF-8");
    QTest::newRow("unknown label falls through")
        << gbk << 0 << u"Content-Type: text/html; charset=x-nonsense\r\n"_s << QByteArray("GB18030");
    QTest::newRow("undeclared utf-8") << utf8 << 0 << plainHeader << QByteArray("UTF-8");
    QTest::newRow("undeclared gbk") << gbk << 0 << QString() << QByteArray("GB18030");
    QTest::newRow("utf-8 cut inside a character")
        << utf8.left(utf8.size() - 1) << 0 << QString() << QByteArray("UTF-8");
    QTest::newRow("other code detects") << utf8 << 1 << QString() << QByteArray("UTF-8");
}

void TestBodyDecoder::detectsCharset()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QString, headers);
    QFETCH(QByteArray, expected);
    QCOMPARE(DetectBodyCharset(body, code, headers), expected);
}

void TestBodyDecoder::announcesUtf8()
{
    QVERIFY(HeadersAnnounceUtf8(u"Content-Type: text/html; charset=utf-8\r\n"_s));
    QVERIFY(HeadersAnnounceUtf8(u"Content-Type: text/html; CHARSET=UTF-8\r\n"_s));
    QVERIFY(HeadersAnnounceUtf8(u"Content-Type: text/html; charset=\"utf-8\"\r\n"_s));
    QVERIFY(HeadersAnnounceUtf8(u"Content-Type: text/html; charset='utf-8'\r\n"_s));
    QVERIFY(!HeadersAnnounceUtf8(u"Content-Type: text/html; charset=gbk\r\n"_s));
    QVERIFY(!HeadersAnnounceUtf8(QString()));
}

void TestBodyDecoder::decodesEncodingsAndStripsMarks()
{
    QCOMPARE(DecodeBody(Encode("GBK", kChinese), 0, u"Content-Type: text/html; charset=gb2312"_s), kChinese);
    QCOMPARE(DecodeBody(Encode("GB18030", kChinese), 0, QString()), kChinese);
    const QString traditional = u"繁體中文網頁"_s;
    QCOMPARE(DecodeBody(Encode("Big5", traditional), 0, u"Content-Type: text/html; charset=big5"_s), traditional);
    QCOMPARE(DecodeBody(Encode("Big5-HKSCS", traditional), 0, u"Content-Type: text/html; charset=big5-hkscs"_s),
        traditional);
    QCOMPARE(DecodeBody("\xEF\xBB\xBF" + kChinese.toUtf8(), 0, QString()), kChinese);
    QCOMPARE(DecodeBody("\xEF\xBB\xBF" + kChinese.toUtf8(), 2, QString()), kChinese);

    QByteArray le("\xFF\xFE");
    le.append(reinterpret_cast<const char*>(kChinese.utf16()), kChinese.size() * 2);
    QCOMPARE(DecodeBody(le, 0, QString()), kChinese);
    QByteArray be("\xFE\xFF");
    for (QChar c : kChinese)
        be.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xFF));
    QCOMPARE(DecodeBody(be, 0, QString()), kChinese);

    // A page of a few megabytes decodes whole.
    const QString big = kChinese.repeated(200000);
    QCOMPARE(DecodeBody(Encode("GBK", big), 0, QString()), big);
    QCOMPARE(DecodeBody(big.toUtf8(), 0, QString()), big);
    QVERIFY(DecodeBody({}, 0, QString()).isEmpty());
}

void TestBodyDecoder::badBytesBecomeReplacementCharacters()
{
    // UTF-8 forced on GBK bytes: nothing is lost after the bad bytes.
    const QString forced = DecodeBody("ok " + Encode("GBK", u"中文"_s) + " end", 2, QString());
    QVERIFY(forced.startsWith(u"ok "_s));
    QVERIFY(forced.endsWith(u" end"_s));
    QVERIFY(forced.contains(QChar::ReplacementCharacter));

    const QString gb = DecodeBody(QByteArray("a\x81 b\xFF"
                                             "c",
                                      6),
        0, QString());
    QVERIFY(gb.startsWith(u'a'));
    QVERIFY(gb.endsWith(u'c'));
    QVERIFY(gb.contains(QChar::ReplacementCharacter));

    const QString odd = DecodeBody(QByteArray("\xFF\xFEh\0i\0!", 7), 0, QString());
    QCOMPARE(odd, u"hi"_s + QChar(QChar::ReplacementCharacter));
}

void TestBodyDecoder::validatesUtf8()
{
    QVERIFY(IsValidUtf8(""));
    QVERIFY(IsValidUtf8(u"ascii only, long enough to take the eight byte path"_s.toUtf8()));
    QVERIFY(IsValidUtf8(u"中文 ümlaut 😀 end"_s.toUtf8()));
    QVERIFY(IsValidUtf8("abc\xE4\xB8")); // cut at the end
    QVERIFY(!IsValidUtf8("abc\xE4\xB8xyz")); // cut in the middle
    QVERIFY(!IsValidUtf8("\xC0\xAF")); // overlong
    QVERIFY(!IsValidUtf8("\xE0\x80\xAF")); // overlong
    QVERIFY(!IsValidUtf8("\xED\xA0\x80")); // surrogate
    QVERIFY(!IsValidUtf8("\xF4\x90\x80\x80")); // above U+10FFFF
    QVERIFY(!IsValidUtf8("\xFF"));
    QVERIFY(!IsValidUtf8(Encode("GBK", kChinese)));
}

QTEST_GUILESS_MAIN(TestBodyDecoder)
#include "tst_body_decoder.moc"
