#pragma once

#include "cli/site_shard.h"
#include "monitor/notify_target.h"

#include <QString>
#include <QStringList>

#include <optional>

// What the command line of `patrol-lamp --headless` asks for. Settings left empty come from the
// configuration file; nothing here is ever written back to it.
struct HeadlessOptions
{
    enum class Format { Tsv, Jsonl, Csv };

    QString configPath; // empty: the file beside the executable
    QString sitesPath; // empty: the list stored by the window
    std::optional<QString> threads;
    std::optional<QString> timeout;
    std::optional<QString> interval;
    std::optional<QString> statusCodes;
    std::optional<QString> content;
    bool noStatus = false;
    bool invertStatus = false;
    bool invertContent = false;
    int passes = 0; // 0: until stopped
    Format format = Format::Tsv;
    std::optional<SiteShard> shard;
    QString listenHost; // with listenPort: serve metrics; empty host with a port means every interface
    std::optional<quint16> listenPort;
    QString webConfigPath; // TLS and basic auth of the metrics server
    QString historyPath; // empty: beside the configuration file
    bool noHistory = false;
    QString notifyUrl; // webhook for batches of state changes
    QList<NotifyTarget> notifyTargets; // --notify, each with its --notify-secret
    bool notifyTest = false; // send one test message to every target and exit
    // Not given: the configuration file's, else 1 and 0 (no reminders).
    std::optional<int> confirmPasses; // abnormal (or normal again) this many passes in a row before an alert
    std::optional<int> remindMinutes; // reminders while a site stays abnormal
    bool help = false;
    bool version = false;
};

// Parses the arguments after the program name ("--headless" itself is skipped). Both "--opt value"
// and "--opt=value" are accepted. Returns false with a message for the user on bad arguments.
bool ParseHeadlessArguments(const QStringList& arguments, HeadlessOptions* options, QString* error);

QString HeadlessUsageText();

// Thread counts the run accepts; more would exhaust the process's threads.
constexpr int kMaxHeadlessThreads = 1000;

// Validators shared by the options and the values read from the configuration file.
bool IsThreadCountText(const QString& text);
bool IsTimeoutText(const QString& text);
bool IsIntervalText(const QString& text);
// "HOST:PORT", "[V6]:PORT" or ":PORT"; port 0 lets the system choose. False on anything else.
bool ParseListenText(const QString& text, QString* host, quint16* port);
