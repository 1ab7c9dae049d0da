// The configuration text under arbitrary file contents and arbitrary edits: no crash, no runaway, and for
// names and values the format can hold, every value written reads back as written, whatever came before.
#include "store/config_text_store.h"

#include "fuzz_input.h"

#include <QDir>
#include <QFile>
#include <QTextCodec>

#include <cstring>
#include <map>
#include <unistd.h>

namespace {

QString g_path;

// Bytes that a section, key or value cannot carry and still be found again as such.
bool Clean(const QByteArray& bytes, const char* forbidden)
{
    for (const char c : bytes) {
        if (c == '\r' || c == '\n' || std::strchr(forbidden, c))
            return false;
    }
    return true;
}

bool CleanSection(const QByteArray& s)
{
    return Clean(s, "[]");
}
bool CleanKey(const QByteArray& k)
{
    return !k.isEmpty() && !k.startsWith('[') && Clean(k, "=");
}
bool CleanValue(const QByteArray& v)
{
    return Clean(v, "");
}

bool HasLoneSurrogate(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_path = QDir::tempPath() + u"/patrol-fuzz-config-%1.ini"_s.arg(::getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const QByteArray initial = in.Bytes(in.Word());
    {
        QFile file(g_path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(initial);
    }
    // Without the live file the store edits its own copy of the text and never writes the file.
    ConfigTextStore store;
    store.Open(g_path, true);
    FUZZ_CHECK(store.Text() == initial);
    store.SetMessageHook([](const QString&, bool) {});

    std::map<std::pair<QByteArray, QByteArray>, QByteArray> written;
    bool modelValid = true;
    int nested = 0;
    bool queuedWrite = false;
    store.SetPumpHook([&] {
        // A write asked for while another is being looked up waits in the queue.
        if (nested == 1) {
            nested = 2; // once per write, or the queued write would queue the next one forever
            FUZZ_CHECK(store.WriteKeyBytes("q", "queued", "1") == ConfigTextStore::WriteResult::Queued);
            queuedWrite = true;
        }
    });

    while (!in.AtEnd()) {
        const quint8 op = in.Byte();
        const QByteArray section = in.Piece();
        const QByteArray key = in.Piece();
        switch (op % 6) {
        case 0:
        case 1: {
            const QByteArray value = in.Piece();
            // Only a queued write promises to hold back writes asked for meanwhile.
            nested = (op & 0x80) && !(op & 0x40) ? 1 : 0;
            const ConfigTextStore::WriteResult result = store.WriteKeyBytes(section, key, value, op & 0x40);
            nested = 0;
            FUZZ_CHECK(result == ConfigTextStore::WriteResult::Done || result == ConfigTextStore::WriteResult::Failed);
            const bool clean = CleanSection(section) && CleanKey(key) && CleanValue(value);
            if (clean)
                FUZZ_CHECK(result == ConfigTextStore::WriteResult::Done);
            if (result == ConfigTextStore::WriteResult::Done) {
                if (clean)
                    written[{ section, key }] = value;
                else
                    modelValid = false; // such names may pass for headers or keys of others
            }
            // Performed right after the write it interrupted.
            if (queuedWrite)
                written[{ "q", "queued" }] = "1";
            queuedWrite = false;
            break;
        }
        case 2: {
            const QByteArray value = store.ReadKeyBytes(section, key);
            const auto it = written.find({ section, key });
            if (modelValid && it != written.end())
                FUZZ_CHECK(value == it->second);
            break;
        }
        case 3: {
            const qsizetype length = store.Text().size();
            const qsizetype from = qsizetype(in.Word()) % (length + 3) - 1;
            const qsizetype to = qsizetype(in.Word()) % (length + 3) - 1;
            const qsizetype at = store.FindSectionHeader(from, to);
            if (at != -1) {
                const QByteArray& text = store.Text();
                FUZZ_CHECK(at >= 3 && at <= text.size() && text[at - 1] == '[' && text.mid(at - 3, 2) == "\r\n");
                FUZZ_CHECK(at >= from && at <= to);
            }
            break;
        }
        case 4: {
            // Texts in, texts out: what GB18030 can hold comes back the same.
            const QString s = QString::fromUtf8(section);
            const QString k = QString::fromUtf8(key);
            const QString v = QString::fromUtf8(in.Piece());
            const QByteArray sb = ConfigTextStore::Encode(s);
            const QByteArray kb = ConfigTextStore::Encode(k);
            const QByteArray vb = ConfigTextStore::Encode(v);
            if (!HasLoneSurrogate(v))
                FUZZ_CHECK(ConfigTextStore::Decode(vb) == v);
            const ConfigTextStore::WriteResult result = store.WriteKey(s, k, v);
            const bool clean = CleanSection(sb) && CleanKey(kb) && CleanValue(vb);
            if (result == ConfigTextStore::WriteResult::Done && clean) {
                written[{ sb, kb }] = vb;
                if (modelValid && !HasLoneSurrogate(v))
                    FUZZ_CHECK(store.ReadKey(s, k, u"-default-"_s) == v);
            } else if (result == ConfigTextStore::WriteResult::Done) {
                modelValid = false;
            }
            break;
        }
        case 5:
            store.ReadKey(QString::fromLatin1(section), QString::fromLatin1(key), u"dflt"_s, op & 0x80);
            break;
        }
    }
    if (modelValid) {
        for (const auto& [name, value] : written)
            FUZZ_CHECK(store.ReadKeyBytes(name.first, name.second) == value);
    }
    return 0;
}
