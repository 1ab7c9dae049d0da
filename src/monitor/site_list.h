#pragma once

#include <QString>
#include <QStringView>

#include <vector>

// What a site entry is, for the window's run, the headless list file and the shards alike: the list is split
// at CR LF, at a bare LF (lists pasted or written on this platform) and at "|"; each entry is trimmed of ASCII
// spaces and full-width spaces (tabs stay) and dropped when nothing is left. A CR not followed by LF is part of
// its entry.
// Entries are views into the text: a million sites never become a million strings. The visitor returns false
// to stop the walk.
template <typename Visit> void ForEachSiteEntry(QStringView text, Visit&& visit)
{
    auto blank = [](QChar c) { return c == u' ' || c == u'\u3000'; };
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != u'|' && text[i] != u'\n')
            continue;
        qsizetype end = i;
        if (i < text.size() && text[i] == u'\n' && end > start && text[end - 1] == u'\r')
            --end;
        qsizetype begin = start;
        while (begin < end && blank(text[begin]))
            ++begin;
        while (end > begin && blank(text[end - 1]))
            --end;
        if (end > begin && !visit(text.sliced(begin, end - begin)))
            return;
        start = i + 1;
    }
}

std::vector<QStringView> SiteEntries(QStringView text);
bool HasSiteEntries(QStringView text);

// An entry with a scheme other than http and https (ftp:, file:, javascript: …): it stays in the list, but no
// request is sent for it and its check fails as an unsupported URL.
bool IsNonWebEntry(QStringView entry);
struct NumberedEntry
{
    int line = 0; // 1-based, counted at line breaks only
    QStringView entry;
};
std::vector<NumberedEntry> NonWebEntries(QStringView text);
// "第 3 行：ftp://a.example、第 7 行：…" for the list's non-web entries (at most `shown`), empty when none.
QString NonWebEntriesText(QStringView text, int shown = 10);
