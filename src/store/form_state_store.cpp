#include "store/form_state_store.h"

#include "store/atomic_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

const QString kLineBreakMarker = u"┊*┊"_s;

} // namespace

FormStateStore::FormStateStore() = default;

FormStateStore::~FormStateStore() = default;

bool FormStateStore::SetFile(const QString& path, int mode)
{
    m_mode = mode;
    return Open(path, mode != 0);
}

void FormStateStore::SetSection(const QString& name)
{
    m_section = name;
}

bool FormStateStore::WriteText(const QString& key, const QString& value)
{
    return WriteKey(m_section, key, FoldLineBreaks(value)) == WriteResult::Done;
}

QString FormStateStore::ReadText(const QString& key, const QString& defaultValue)
{
    return StoredText(key).value_or(UnfoldLineBreaks(FoldLineBreaks(defaultValue)));
}

std::optional<QString> FormStateStore::StoredText(const QString& key)
{
    const QByteArray stored = ReadKeyBytes(Encode(m_section), Encode(key));
    if (stored.isNull())
        return std::nullopt;
    return UnfoldLineBreaks(Decode(stored));
}

bool FormStateStore::WriteNumber(const QString& key, double value)
{
    QString text;
    if (std::isfinite(value) && value == std::trunc(value) && std::abs(value) < 9.0e15)
        text = QString::number(qint64(value));
    else
        text = QString::number(value, 'g', QLocale::FloatingPointShortest);
    return WriteKey(m_section, key, text) == WriteResult::Done;
}

double FormStateStore::ReadNumber(const QString& key, double defaultValue)
{
    const QByteArray stored = ReadKeyBytes(Encode(m_section), Encode(key));
    return stored.isNull() ? defaultValue : ParseNumber(stored);
}

bool FormStateStore::WriteBool(const QString& key, bool value)
{
    return WriteKey(m_section, key, value ? kTrueText : kFalseText) == WriteResult::Done;
}

bool FormStateStore::ReadBool(const QString& key, bool defaultValue)
{
    const QByteArray stored = ReadKeyBytes(Encode(m_section), Encode(key));
    return stored.isNull() ? defaultValue : stored == Encode(kTrueText);
}

bool FormStateStore::WriteBytes(const QString& key, const QByteArray& value)
{
    // A store that lost the live file to another program keeps its changes to itself.
    const QString path = SideFilePath(key);
    if (path.isEmpty() || (m_mode == 0 && !HasLiveFile()))
        return false;
    QFile current(path);
    if (current.open(QIODevice::ReadOnly) && current.size() == value.size() && current.readAll() == value)
        return true;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    return ReplaceFileAtomically(path, value);
}

QByteArray FormStateStore::ReadBytes(const QString& key, const QByteArray& defaultValue)
{
    const QString path = SideFilePath(key);
    if (path.isEmpty())
        return defaultValue;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return defaultValue;
    const QByteArray bytes = file.readAll();
    return bytes.isEmpty() ? defaultValue : bytes;
}

QString FormStateStore::SideFilePath(const QString& key) const
{
    if (Path().isEmpty())
        return {};
    // Section and key are names, not paths: a "/" must not lead out of the inibin directory.
    QString name = m_section + u'-' + key + u".ibn"_s;
    name.replace(u'/', u'_');
    name.replace(QChar(0), u'_');
    return QFileInfo(Path()).absolutePath() + u"/inibin/"_s + name;
}

QString FormStateStore::FoldLineBreaks(const QString& text)
{
    QString folded = text;
    folded.replace(u"\r\n"_s, kLineBreakMarker);
    return folded;
}

QString FormStateStore::UnfoldLineBreaks(const QString& text)
{
    QString unfolded = text;
    unfolded.replace(kLineBreakMarker, u"\r\n"_s);
    return unfolded;
}

double FormStateStore::ParseNumber(const QByteArray& text)
{
    // The leading decimal number, as the file's older readers took it; no locale involved.
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto isDigit = [&](qsizetype at) { return at < n && text[at] >= '0' && text[at] <= '9'; };
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    const qsizetype start = i;
    if (i < n && (text[i] == '+' || text[i] == '-'))
        ++i;
    bool digits = false;
    while (isDigit(i)) {
        ++i;
        digits = true;
    }
    if (i < n && text[i] == '.') {
        ++i;
        while (isDigit(i)) {
            ++i;
            digits = true;
        }
    }
    if (!digits)
        return 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        qsizetype e = i + 1;
        if (e < n && (text[e] == '+' || text[e] == '-'))
            ++e;
        if (isDigit(e)) {
            while (isDigit(e))
                ++e;
            i = e;
        }
    }
    bool ok = false;
    const double value = text.sliced(start, i - start).toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0;
}
