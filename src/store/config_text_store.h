#pragma once

#include "store/atomic_file.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>

// The configuration file as one sectioned key=value text, kept in memory and edited in place.
//
// The text is held as the file's own bytes (GB18030, a superset of GBK) so that anything the program
// does not touch survives byte for byte; texts cross into the program as QString at the accessors.
// Positions are 1-based, -1 means not found.
//
// The live file: Open takes the lifetime lock on "<file>.lock" and keeps it until Close. Every completed
// write replaces the whole file atomically (see atomic_file.h), so a crash leaves the old text or the new.
// A file that cannot be written (a folder without write permission, a full disk) is reported through the
// message hook once, not at every write; a later successful write re-arms the report.
// Writes inside BeginBatch/EndBatch (the form walk) replace the file once, at the end; unchanged values
// do not rewrite it at all.
//
// User-interface thread only.
class ConfigTextStore
{
public:
    // text, warning icon
    using MessageHook = std::function<void(const QString& text, bool warning)>;
    using PumpHook = std::function<void()>;

    ConfigTextStore();
    virtual ~ConfigTextStore();
    ConfigTextStore(const ConfigTextStore&) = delete;
    ConfigTextStore& operator=(const ConfigTextStore&) = delete;

    // Reads the file into the text. Without noLock it also takes the live file (creating an empty file
    // when there is none) and returns whether it got it; a store that did not get it works on its own
    // copy of the text and never writes the file.
    bool Open(const QString& path, bool noLock = false);
    // Releases the live file and empties the text.
    void Close();
    // Writes the whole text to the path. False when another store holds the live file.
    bool Save();
    // Reads the file again; on failure the text stays as it was.
    bool Reload();

    // The numbers are what the file's older callers compare against.
    enum class WriteResult {
        Done = 0,
        Queued = 3, // behind a running write, performed right after it
        Failed = -1,
    };

    WriteResult WriteKey(const QString& section, const QString& key, const QString& value, bool immediate = false);
    QString ReadKey(
        const QString& section, const QString& key, const QString& defaultValue = {}, bool emptyMeansDefault = false);
    // Byte forms of the above; section, key and value are GB18030 bytes.
    WriteResult WriteKeyBytes(
        const QByteArray& section, const QByteArray& key, const QByteArray& value, bool immediate = false);
    // Null QByteArray when the section or key is missing.
    QByteArray ReadKeyBytes(const QByteArray& section, const QByteArray& key);

    // Position of the `[` of the first header line between from and to, or -1.
    qsizetype FindSectionHeader(qsizetype from, qsizetype to) const;
    // Result of the first request performed, Failed when the queue was empty.
    WriteResult RunQueue();

    // Writes between these two replace the file once, when the outermost EndBatch is reached.
    void BeginBatch();
    void EndBatch();

    const QByteArray& Text() const { return m_text; }
    QString Path() const { return m_path; }
    bool HasLiveFile() const { return m_lock.IsHeld(); }

    // The host's message box; by default the text goes to qWarning.
    void SetMessageHook(MessageHook hook);
    // Lets pending user-interface events run before each search pass; by default does nothing.
    void SetPumpHook(PumpHook hook);

    // GB18030, except that "€" is GBK's single byte 0x80 both ways, as the file's GBK-era writers stored it.
    static QByteArray Encode(const QString& text);
    static QString Decode(const QByteArray& bytes);

    // While suspended the pump hook is not called; the form walk suspends it while it restores.
    void SetPumpSuspended(bool suspended) { m_pumpSuspended = suspended; }

private:
    struct PendingWrite
    {
        int kind = 0;
        QByteArray section;
        QByteArray key;
        QByteArray value;
    };

    struct SectionSpan
    {
        qsizetype start = -1; // 0-based index of `[`
        qsizetype end = -1; // 0-based index of `]`
    };

    WriteResult WriteNow(const QByteArray& section, const QByteArray& key, const QByteArray& value);
    SectionSpan FindSection(const QByteArray& section);
    // 0-based start of the value, or -1; valueEnd is one past its last byte.
    qsizetype FindValue(const SectionSpan& span, const QByteArray& key, qsizetype* valueEnd);
    qsizetype FindHeaderIndex(qsizetype from, qsizetype to) const;
    void Pump();
    void WriteThrough();
    void ResetCache();
    QString LockPath() const;
    bool Flush();
    void ReportWriteFailure(const QString& detail);

    QByteArray m_text;
    LifetimeLock m_lock;
    QString m_path;
    QString m_writePath;
    bool m_busy = false;
    std::deque<PendingWrite> m_queue;

    QByteArray m_cacheName;
    qsizetype m_cacheStart = -1;
    qsizetype m_cacheEnd = -1;
    bool m_fromCache = false;

    bool m_dirty = false;
    int m_batchDepth = 0;
    MessageHook m_messageHook;
    PumpHook m_pumpHook;
    bool m_pumpSuspended = false;
    bool m_writeFailureReported = false;
};
