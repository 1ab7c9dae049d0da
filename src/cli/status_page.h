#pragma once

#include "cli/metrics_server.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>

class SiteBoard;

// The status page of a headless run and its JSON, served by the metrics server's routes (same listener, TLS and
// basic auth), rendered on the main thread from the SiteBoard:
//   /                  summary and the abnormal sites (at most kAbnormalShown and kIndexRowBytes), a plain table;
//                      the script adds the
//                      paged list of all sites and refreshes both every few seconds
//   /sites             one page of all sites, filtered by state and URL text (the list without the script)
//   /site/{id}         one site: last checks, its changes and a 24-hour chart of response times from the history
//   /api/status        what the top of / shows, with an ETag that changes only with it (the script's update)
//   /api/sites         a page of the list; /api/sites/{id} one site
//   /assets/…          the script and the style sheet, built into the program
// Everything shown is escaped, URLs are shown with their password hidden, and the pages allow only their own
// script and style (Content-Security-Policy), so a hostile URL can neither run nor restyle anything.
// The uptime bars come from the history's hourly rows, read for the shown sites at most once a minute.
class StatusPage final
{
public:
    static constexpr int kPageSize = 200;
    static constexpr int kAbnormalShown = 200;
    static constexpr int kBarRefreshMs = 60 * 1000;
    // The abnormal rows of / stop here (UTF-8 bytes), so the page stays under 200 KB whatever the URLs' length.
    static constexpr qsizetype kIndexRowBytes = 190 * 1024;

    explicit StatusPage(const SiteBoard* board, std::function<qint64()> clock = {});

    void SetHistoryPath(const QString& path) { m_historyPath = path; }
    void Install(MetricsServer* server);
    // One request to any of the paths above; unknown paths and ids answer 404.
    WebAnswer Answer(const WebRequest& request);

private:
    WebAnswer Index();
    WebAnswer SiteList(const WebRequest& request);
    WebAnswer SitePage(const QByteArray& id);
    WebAnswer ApiStatus(const WebRequest& request);
    WebAnswer ApiSites(const WebRequest& request);
    WebAnswer ApiSite(const QByteArray& id);
    WebAnswer Asset(const QByteArray& name);
    QByteArray Bar(int index) const;
    void RefreshBars();

    const SiteBoard* m_board;
    std::function<qint64()> m_clock;
    QString m_historyPath;
    QHash<QString, QByteArray> m_bars; // URL → 24 marks, oldest hour first
    qint64 m_barsAtMs = 0;
    quint64 m_barsTopVersion = 0;
    quint64 m_barsGeneration = 0;
};
