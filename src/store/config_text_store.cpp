#include "store/config_text_store.h"

#include "store/atomic_file.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A file beyond this is not loaded (and therefore never rewritten from a partial text).
constexpr qint64 kMaxFileSize = qint64(512) * 1024 * 1024;
// Appending a missing section this often without finding it afterwards means the text is beyond repair.
constexpr int kMaxSectionAppends = 11;

// GBK's one-byte euro sign. GB18030 has no such byte (it writes A2 E3), so the store maps it itself to keep
// GBK files byte for byte.
constexpr char16_t kEuro = 0x20ac;
constexpr char kGbkEuro = char(0x80);

QTextCodec* Gb18030()
{
    static QTextCodec* const codec = QTextCodec::codecForName("GB18030");
    return codec;
}

// Every needle here starts with a byte that is rare in the text (CR, "[" or "]"; the site list is
// stored without line breaks), so memchr to the first byte beats a general substring search.
qsizetype Find(const QByteArray& text, QByteArrayView needle, qsizetype from)
{
    from = std::max<qsizetype>(from, 0);
    if (needle.isEmpty() || from > text.size() || needle.size() > text.size() - from)
        return -1;
    const char* const begin = text.constData();
    const char* p = begin + from;
    const char* const last = begin + text.size() - needle.size(); // last possible start
    const char first = needle.front();
    while (p <= last) {
        p = static_cast<const char*>(std::memchr(p, first, size_t(last - p + 1)));
        if (!p)
            return -1;
        if (std::memcmp(p + 1, needle.data() + 1, size_t(needle.size() - 1)) == 0)
            return p - begin;
        ++p;
    }
    return -1;
}

// GB18030 is stateless, so each BMP character has fixed bytes: remember them instead of going
// through the converter for every character of a megabyte text. 0 = not looked up yet.
std::atomic<quint32> g_bmpBytes[0x10000];

// Two-byte codes have a second byte outside 0x30..0x39, four-byte codes inside.
qsizetype PackedLength(quint32 packed)
{
    const quint32 second = (packed >> 8) & 0xff;
    return second >= 0x30 && second <= 0x39 ? 4 : 2;
}

void AppendBmp(QByteArray* out, char16_t c)
{
    quint32 packed = g_bmpBytes[c].load(std::memory_order_relaxed);
    if (packed == 0) {
        const QChar ch(c);
        const QByteArray bytes = Gb18030()->fromUnicode(QStringView(&ch, 1));
        for (qsizetype i = 0; i < bytes.size() && i < 4; ++i)
            packed |= quint32(quint8(bytes[i])) << (8 * i);
        if ((bytes.size() != 2 && bytes.size() != 4) || PackedLength(packed) != bytes.size()) {
            *out += bytes;
            return;
        }
        g_bmpBytes[c].store(packed, std::memory_order_relaxed);
    }
    const char b[4] = { char(packed), char(packed >> 8), char(packed >> 16), char(packed >> 24) };
    out->append(b, PackedLength(packed));
}

bool IsAscii(const QString& text)
{
    char16_t any = 0;
    for (const QChar c : text)
        any |= c.unicode();
    return any < 0x80;
}

bool IsAscii(const QByteArray& bytes)
{
    unsigned char any = 0;
    for (const char c : bytes)
        any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

bool ContainsLineEnd(const QByteArray& bytes)
{
    return bytes.contains("\r\n");
}

// Reads a whole file. exists tells a missing file apart from an unreadable one.
bool ReadWholeFile(const QString& path, QByteArray* data, bool* exists)
{
    const QFileInfo info(path);
    *exists = info.exists();
    if (!*exists || info.isDir())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize)
        return false;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    *data = std::move(bytes);
    return true;
}

} // namespace

ConfigTextStore::ConfigTextStore() = default;

ConfigTextStore::~ConfigTextStore()
{
    Close();
}

bool ConfigTextStore::Open(const QString& path, bool noLock)
{
    Close();
    m_path = path;
    m_writePath = ReplaceTarget(path);
    ResetCache();
    m_dirty = false;

    QByteArray data;
    bool exists = false;
    if (noLock || path.isEmpty()) {
        if (ReadWholeFile(m_writePath, &data, &exists))
            m_text = std::move(data);
        return noLock;
    }

    LifetimeLock lock;
    bool busy = false;
    if (!lock.TryAcquire(LockPath(), &busy)) {
        if (!busy)
            ReportWriteFailure(QString::fromLocal8Bit(std::strerror(errno)));
        // Another program has the live file, or none can be written: work on a copy of the text.
        if (ReadWholeFile(m_writePath, &data, &exists))
            m_text = std::move(data);
        return false;
    }
    if (ReadWholeFile(m_writePath, &data, &exists)) {
        m_text = std::move(data);
    } else if (exists) {
        // Writing through would replace a file we could not read with a text built from nothing.
        ReportWriteFailure(u"文件无法读取"_s);
        return false;
    } else {
        const int created
            = ::open(QFile::encodeName(m_writePath).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (created < 0) {
            ReportWriteFailure(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        ::close(created);
    }
    m_lock = std::move(lock);
    return true;
}

void ConfigTextStore::Close()
{
    if (m_lock.IsHeld()) {
        if (m_dirty)
            Flush();
        m_lock.Release();
    }
    m_text.clear();
    m_dirty = false;
    ResetCache();
}

bool ConfigTextStore::Save()
{
    if (m_path.isEmpty())
        return false;
    if (m_lock.IsHeld())
        return Flush();
    LifetimeLock lock;
    if (!lock.TryAcquire(LockPath()))
        return false;
    return ReplaceFileAtomically(m_writePath, m_text);
}

bool ConfigTextStore::Reload()
{
    if (m_path.isEmpty())
        return false;
    QByteArray data;
    bool exists = false;
    if (!ReadWholeFile(m_writePath, &data, &exists))
        return false;
    m_text = std::move(data);
    m_dirty = false;
    ResetCache();
    return true;
}

ConfigTextStore::WriteResult ConfigTextStore::WriteKey(
    const QString& section, const QString& key, const QString& value, bool immediate)
{
    return WriteKeyBytes(Encode(section), Encode(key), Encode(value), immediate);
}

ConfigTextStore::WriteResult ConfigTextStore::WriteKeyBytes(
    const QByteArray& section, const QByteArray& key, const QByteArray& value, bool immediate)
{
    if (!immediate) {
        m_queue.push_back({ 0, section, key, value });
        if (m_busy)
            return WriteResult::Queued;
        return RunQueue();
    }
    const WriteResult result = WriteNow(section, key, value);
    WriteThrough();
    return result;
}

QString ConfigTextStore::ReadKey(
    const QString& section, const QString& key, const QString& defaultValue, bool emptyMeansDefault)
{
    const QByteArray value = ReadKeyBytes(Encode(section), Encode(key));
    if (value.isNull() || (value.isEmpty() && emptyMeansDefault))
        return defaultValue;
    return Decode(value);
}

QByteArray ConfigTextStore::ReadKeyBytes(const QByteArray& section, const QByteArray& key)
{
    const SectionSpan span = FindSection(section);
    if (span.start < 0)
        return {};
    qsizetype valueEnd = -1;
    const qsizetype valueStart = FindValue(span, key, &valueEnd);
    if (valueStart < 0)
        return {};
    if (valueEnd == valueStart)
        return QByteArray(""); // found but empty: not null
    return m_text.sliced(valueStart, valueEnd - valueStart);
}

qsizetype ConfigTextStore::FindSectionHeader(qsizetype from, qsizetype to) const
{
    const qsizetype found = FindHeaderIndex(from - 1, to - 1);
    return found < 0 ? -1 : found + 1;
}

ConfigTextStore::WriteResult ConfigTextStore::RunQueue()
{
    // A nested call would perform the running request a second time.
    if (m_queue.empty() || m_busy)
        return WriteResult::Failed;
    WriteResult first = WriteResult::Failed;
    bool haveFirst = false;
    while (!m_queue.empty()) {
        m_busy = true;
        const PendingWrite request = m_queue.front();
        const WriteResult result
            = request.kind == 0 ? WriteNow(request.section, request.key, request.value) : WriteResult::Failed;
        m_queue.pop_front();
        m_busy = false;
        if (!haveFirst) {
            first = result;
            haveFirst = true;
        }
    }
    WriteThrough();
    return first;
}

void ConfigTextStore::BeginBatch()
{
    ++m_batchDepth;
}

void ConfigTextStore::EndBatch()
{
    if (m_batchDepth > 0 && --m_batchDepth == 0)
        WriteThrough();
}

void ConfigTextStore::SetMessageHook(MessageHook hook)
{
    m_messageHook = std::move(hook);
}

void ConfigTextStore::SetPumpHook(PumpHook hook)
{
    m_pumpHook = std::move(hook);
}

QByteArray ConfigTextStore::Encode(const QString& text)
{
    if (text.isEmpty())
        return text.isNull() ? QByteArray() : QByteArray("");
    // ASCII is the same in GB18030; the site list is mostly ASCII and megabytes long.
    if (IsAscii(text))
        return text.toLatin1();
    QByteArray out;
    out.reserve(text.size() + text.size() / 2);
    const auto* const chars = reinterpret_cast<const char16_t*>(text.constData());
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        qsizetype run = i;
        while (run < n && chars[run] < 0x80)
            ++run;
        if (run > i) {
            const qsizetype start = out.size();
            out.resize(start + (run - i));
            for (qsizetype k = i; k < run; ++k)
                out[start + (k - i)] = char(chars[k]);
            i = run;
            continue;
        }
        const char16_t c = chars[i];
        if (QChar::isSurrogate(c)) {
            const qsizetype len = QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(chars[i + 1]) ? 2 : 1;
            // Alone, the converter would hold back an unpaired surrogate and emit nothing.
            if (len == 2)
                out += Gb18030()->fromUnicode(QStringView(chars + i, len));
            else
                out += '?';
            i += len;
            continue;
        }
        if (c == kEuro)
            out += kGbkEuro;
        else
            AppendBmp(&out, c);
        ++i;
    }
    return out;
}

QString ConfigTextStore::Decode(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return bytes.isNull() ? QString() : u""_s;
    if (IsAscii(bytes))
        return QString::fromLatin1(bytes);
    if (!bytes.contains(kGbkEuro))
        return Gb18030()->toUnicode(bytes);
    // A lone 0x80 starting a character is GBK's euro sign; the runs between such bytes go to the converter.
    QString out;
    const auto* const b = reinterpret_cast<const uchar*>(bytes.constData());
    const qsizetype n = bytes.size();
    qsizetype runStart = 0;
    qsizetype i = 0;
    while (i < n) {
        if (b[i] < 0x80 || b[i] == 0xff) {
            ++i;
        } else if (b[i] == 0x80) {
            out += Gb18030()->toUnicode(bytes.constData() + runStart, int(i - runStart));
            out += QChar(kEuro);
            runStart = ++i;
        } else {
            i += i + 1 < n && b[i + 1] >= 0x30 && b[i + 1] <= 0x39 ? 4 : 2;
        }
    }
    out += Gb18030()->toUnicode(bytes.constData() + runStart, int(n - runStart));
    return out;
}

ConfigTextStore::WriteResult ConfigTextStore::WriteNow(
    const QByteArray& section, const QByteArray& key, const QByteArray& value)
{
    // A line break inside any of them would split the key line and could forge a section header.
    if (ContainsLineEnd(section) || ContainsLineEnd(key) || ContainsLineEnd(value))
        return WriteResult::Failed;

    const QByteArray header = '[' + section + ']';
    int appends = 0;
    bool keyInserted = false;
    for (;;) {
        const SectionSpan span = FindSection(section);
        if (span.start < 0) {
            if (appends == kMaxSectionAppends) {
                const QString warning = u"配置模块出现意外，可能导致无法正常保存！详情请咨询岚澈。"_s;
                if (m_messageHook) {
                    m_messageHook(warning, true);
                    m_messageHook(Decode(m_text), false);
                } else {
                    qWarning().noquote() << warning;
                    qWarning().noquote() << Decode(m_text);
                }
                return WriteResult::Failed;
            }
            if (!m_text.isEmpty())
                m_text += "\r\n";
            m_text += header;
            m_dirty = true;
            ++appends;
            continue;
        }

        qsizetype valueEnd = -1;
        const qsizetype valueStart = FindValue(span, key, &valueEnd);
        if (valueStart < 0) {
            if (keyInserted)
                return WriteResult::Failed; // the key cannot be found where it was put: its bytes defeat the lookup
            qsizetype at = Find(m_text, "\r\n[", span.end);
            if (at < 0)
                at = m_text.size();
            m_text.insert(at, "\r\n" + key + '=');
            m_dirty = true;
            keyInserted = true;
            continue;
        }

        const qsizetype length = valueEnd - valueStart;
        if (QByteArrayView(m_text).sliced(valueStart, length) != QByteArrayView(value)) {
            m_text.replace(valueStart, length, value);
            m_dirty = true;
        }
        return WriteResult::Done;
    }
}

ConfigTextStore::SectionSpan ConfigTextStore::FindSection(const QByteArray& section)
{
    Pump();
    const QByteArray header = '[' + section + ']';
    m_fromCache = false;
    // The bytes are checked too, so a cache outlived by an edit before the header is never trusted.
    if (m_cacheName == section && m_cacheStart >= 0 && m_cacheEnd + 1 - header.size() == m_cacheStart
        && m_cacheEnd < m_text.size() && QByteArrayView(m_text).sliced(m_cacheStart, header.size()) == header) {
        m_fromCache = true;
        return { m_cacheStart, m_cacheEnd };
    }
    qsizetype from = 0;
    for (;;) {
        const qsizetype found = Find(m_text, header, from);
        m_cacheName = section;
        m_cacheStart = found;
        m_cacheEnd = -1;
        if (found < 0)
            return {};
        // A header starts the text or follows a CR LF: "x[主界面]" is not one.
        if (found >= 1 && !(found >= 2 && m_text[found - 2] == '\r' && m_text[found - 1] == '\n')) {
            from = found + 1;
            continue;
        }
        m_cacheEnd = found + header.size() - 1;
        return { found, m_cacheEnd };
    }
}

qsizetype ConfigTextStore::FindValue(const SectionSpan& span, const QByteArray& key, qsizetype* valueEnd)
{
    Pump();
    const QByteArray needle = "\r\n" + key + '=';
    const qsizetype lineStart = Find(m_text, needle, span.end);
    if (lineStart < 0)
        return -1;
    // A match behind a later header belongs to that section.
    if (FindHeaderIndex(span.end + 1, lineStart + 1) >= 0)
        return -1;
    const qsizetype valueStart = lineStart + needle.size();
    const qsizetype end = Find(m_text, "\r\n", valueStart);
    *valueEnd = end < 0 ? m_text.size() : end;
    return valueStart;
}

qsizetype ConfigTextStore::FindHeaderIndex(qsizetype from, qsizetype to) const
{
    qsizetype pos = std::max<qsizetype>(from, 0);
    qsizetype close = -1; // first "]\r\n" at or after the last `[` looked at; kept to stay linear
    for (;;) {
        const qsizetype lineBreak = Find(m_text, "\r\n[", pos);
        if (lineBreak < 0 || lineBreak >= to)
            return -1;
        const qsizetype open = lineBreak + 2;
        if (close < open)
            close = Find(m_text, "]\r\n", open);
        // Without a "]\r\n" after this `[` no later line can be a header either.
        if (close < 0 || close > to)
            return -1;
        const qsizetype lineEnd = Find(m_text, "\r\n", open);
        if (lineEnd > close)
            return open;
        pos = lineEnd;
    }
}

void ConfigTextStore::Pump()
{
    if (m_pumpHook && !m_pumpSuspended)
        m_pumpHook();
}

void ConfigTextStore::WriteThrough()
{
    if (!m_dirty || m_batchDepth > 0 || m_busy || !m_lock.IsHeld())
        return;
    Flush();
}

bool ConfigTextStore::Flush()
{
    if (!m_lock.IsHeld())
        return false;
    if (!ReplaceFileAtomically(m_writePath, m_text)) {
        // Still dirty: the next write tries the whole text again.
        ReportWriteFailure(u"写入失败"_s);
        return false;
    }
    m_dirty = false;
    m_writeFailureReported = false;
    return true;
}

void ConfigTextStore::ReportWriteFailure(const QString& detail)
{
    if (m_writeFailureReported)
        return;
    m_writeFailureReported = true;
    const QString text
        = u"无法保存设置：%1（%2）。本次的修改不会保存；可用 --config 指定可写的文件。"_s.arg(m_path, detail);
    if (m_messageHook)
        m_messageHook(text, true);
    else
        qWarning().noquote() << text;
}

void ConfigTextStore::ResetCache()
{
    m_cacheName.clear();
    m_cacheStart = -1;
    m_cacheEnd = -1;
    m_fromCache = false;
}

QString ConfigTextStore::LockPath() const
{
    return m_writePath + u".lock"_s;
}
