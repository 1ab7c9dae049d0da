#pragma once

// What the in-process benchmarks share: their arguments, the descriptor limit, and starting bench_site_farm.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>

#include <sys/resource.h>

#include <cstdio>

inline int IntArg(const QStringList& args, const QString& name, int fallback)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

// The program raises this limit at start-up; a benchmark opens as many sockets.
inline void RaiseOpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The farm's URL list as the window's site list text (CR LF separated); empty when it cannot be read.
inline QString ReadFarmList(const QString& listFile, const char* who)
{
    QFile file(listFile);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "%s: no site list\n", who);
        return {};
    }
    return QString::fromUtf8(file.readAll()).trimmed().replace(u'\n', QStringLiteral("\r\n"));
}

// Starts bench_site_farm (beside the benchmark) on 100 ports and waits for its "ready" line; returns the list.
inline QString StartSiteFarm(
    QProcess& farm, const QString& listFile, int sites, int delayMs, int abnormalEvery, const char* who)
{
    farm.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    farm.start(QCoreApplication::applicationDirPath() + QStringLiteral("/bench_site_farm"),
        { QStringLiteral("--ports"), QStringLiteral("100"), QStringLiteral("--threads"), QStringLiteral("2"),
            QStringLiteral("--delay-ms"), QString::number(delayMs), QStringLiteral("--abnormal-every"),
            QString::number(abnormalEvery), QStringLiteral("--list"),
            QStringLiteral("%1:%2").arg(sites).arg(listFile) });
    QElapsedTimer waited;
    waited.start();
    while (!farm.canReadLine() && waited.elapsed() < 20'000)
        farm.waitForReadyRead(200);
    if (!farm.readLine().startsWith("ready")) {
        std::fprintf(stderr, "%s: the site farm did not start\n", who);
        return {};
    }
    return ReadFarmList(listFile, who);
}
