#pragma once

#include <QString>
#include <QStringList>

struct KeywordSearchOptions
{
    bool keywordsAsList = false;   // use `list` instead of splitting the keyword text
    QString separator;             // empty means "|"
    bool allMode = false;          // false: "any"
    bool stopAtFirst = false;
    bool caseInsensitive = true;
    bool wholeText = false;
    bool traditionalRetry = false;
};

struct KeywordSearchOutput
{
    int foundPosition = -1;   // 1-based byte position in the GB18030 encoding of the text, -1 none
    QString matchedKeyword;
    QStringList keywords;     // the split keyword list
};

// The keyword search of the content condition.
bool KeywordSearch(const QString& text, const QString& keywords, const KeywordSearchOptions& options = {},
                   KeywordSearchOutput* output = nullptr, const QStringList& list = {});
