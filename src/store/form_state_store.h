#pragma once

#include "store/config_text_store.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The typed values of one section of the configuration file, as the window's components keep them: texts
// with their line breaks folded onto one key line, numbers, 真/假, and byte strings in side files under
// "inibin/" beside the configuration file. The walk over a window's components (ui/form_walk.h) goes
// through these accessors.
class FormStateStore : public ConfigTextStore
{
public:
    // How a stored truth value is written.
    static inline const QString kTrueText = QStringLiteral("真");
    static inline const QString kFalseText = QStringLiteral("假");

    FormStateStore();
    ~FormStateStore() override;

    // mode 0 keeps the file as the live file, mode 1 opens it without.
    bool SetFile(const QString& path, int mode = 0);
    void SetSection(const QString& name);
    QString Section() const { return m_section; }
    int Mode() const { return m_mode; }

    bool WriteText(const QString& key, const QString& value);
    QString ReadText(const QString& key, const QString& defaultValue = {});
    // Nullopt when the key is missing.
    std::optional<QString> StoredText(const QString& key);
    bool WriteNumber(const QString& key, double value);
    double ReadNumber(const QString& key, double defaultValue = 0);
    bool WriteBool(const QString& key, bool value);
    bool ReadBool(const QString& key, bool defaultValue = false);
    bool WriteBytes(const QString& key, const QByteArray& value);
    QByteArray ReadBytes(const QString& key, const QByteArray& defaultValue = {});
    // Side file of a key in the current section; empty when no file is set.
    QString SideFilePath(const QString& key) const;

    // CR LF <-> "┊*┊", so that a multi-line text fits on one key line.
    static QString FoldLineBreaks(const QString& text);
    static QString UnfoldLineBreaks(const QString& text);
    // Leading decimal number of a stored text; 0 when there is none.
    static double ParseNumber(const QByteArray& text);

private:
    QString m_section;
    int m_mode = 0;
};
