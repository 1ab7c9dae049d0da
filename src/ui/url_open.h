#pragma once

#include <QString>
#include <QUrl>

#include <functional>

// The address a list entry or link may open in the browser: http and https only; an entry without a
// scheme gets "http://" in front, as the requests do. Anything else (a path, a program, another
// scheme) gives an empty QUrl, so nothing local is ever opened or run.
QUrl BrowsableUrl(const QString& text);

// Opens the entry in the default browser when BrowsableUrl allows it; returns whether it was handed over.
// The browser's own result is not examined.
bool OpenWebAddress(const QString& text);

// Replaces the hand-over to the browser (tests capture it); an empty function restores the default.
void SetOpenUrlHook(std::function<void(const QUrl&)> hook);
