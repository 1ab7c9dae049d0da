#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

struct KeywordSearchOptions
{
    bool keywordsAsList = false; // use `list` instead of splitting the keyword text
    QString separator; // empty means "|"
    bool allMode = false; // false: "any"
    bool stopAtFirst = false;
    bool caseInsensitive = true; // folds ASCII letters only
    bool wholeText = false;
    bool traditionalRetry = false; // retry a missing keyword converted to traditional Chinese
};

struct KeywordSearchOutput
{
    int foundPosition = -1; // 1-based byte position in the GB18030 encoding of the text, -1 none
    QString matchedKeyword;
    QStringList keywords; // the split keyword list
};

// The keyword search of the content condition. "any": true at the first keyword (in list order) that occurs;
// "all": true when every non-empty keyword occurs. Empty keywords are skipped; none at all gives false.
bool KeywordSearch(const QString& text, const QString& keywords, const KeywordSearchOptions& options = {},
    KeywordSearchOutput* output = nullptr, const QStringList& list = {});

// Length of the text in GB18030 bytes, without encoding it.
qsizetype Gb18030Length(QStringView text);

// Simplified to traditional Chinese; the text unchanged if the converter is unavailable. Thread-safe.
QString ToTraditionalChinese(const QString& text);
