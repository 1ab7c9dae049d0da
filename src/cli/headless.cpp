#include "cli/headless.h"

#include "cli/headless_options.h"
#include "cli/headless_runner.h"
#include "cli/headless_settings.h"
#include "cli/history_location.h"
#include "cli/metrics_server.h"
#include "cli/site_board.h"
#include "cli/site_list_file.h"
#include "cli/site_metrics.h"
#include "cli/site_shard.h"
#include "cli/status_page.h"
#include "http/curl_global.h"
#include "http/url_text.h"
#include "monitor/monitoring_run.h"
#include "monitor/run_recorder.h"
#include "monitor/signal_bridge.h"
#include "monitor/site_list.h"
#include "monitor/status_codes.h"
#include "store/history_store.h"
#include "store/persistence.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QStringList>
#include <QTimer>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kExitUsage = 3;
constexpr int kExitInterrupted = 3;
constexpr int kExitNotifyFailed = 1;

void PrintLine(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    if (!text.endsWith(u'\n'))
        std::fputc('\n', stream);
    std::fflush(stream);
}

int Fail(const QString& message)
{
    PrintLine(stderr, u"patrol-lamp: "_s + message);
    return kExitUsage;
}

// One test message to every target, in turn; each failure named on stderr.
int SendTestNotices(const QList<NotifyTarget>& targets)
{
    if (targets.isEmpty())
        return Fail(u"--notify-test：没有通知目标（用 --notify 或 --notify-url 指定，或在窗口的提醒设置中添加）"_s);
    EnsureCurlGlobalInit();
    int failed = 0;
    for (const NotifyTarget& target : targets) {
        const QString why = SendNotifyTest(target);
        if (!why.isEmpty()) {
            ++failed;
            PrintLine(stderr,
                u"patrol-lamp: 测试通知失败（%1 %2）：%3"_s.arg(
                    NotifyKindName(target.kind), RedactedNotifyUrl(target.url), why));
        }
    }
    PrintLine(stderr, u"测试通知：%1 个目标成功，%2 个失败"_s.arg(targets.size() - failed).arg(failed));
    return failed == 0 ? 0 : kExitNotifyFailed;
}

// What the files and options say to check, read at start and again on SIGHUP.
struct RunInput
{
    QString siteList;
    MonitorSettings settings;
};

// The list and settings of a run from what the configuration file holds and the options.
bool LoadRunInput(const HeadlessOptions& options, const StoredSettings& stored, RunInput* input, QString* error)
{
    QString siteList = stored.siteList;
    QString warning;
    if (!options.sitesPath.isEmpty() && !ReadSiteListFile(options.sitesPath, &siteList, error, &warning))
        return false;
    if (!warning.isEmpty())
        PrintLine(stderr, u"patrol-lamp: "_s + warning);
    if (const QString nonWeb = options.sitesPath.isEmpty() ? QString() : NonWebEntriesText(siteList); !nonWeb.isEmpty())
        PrintLine(stderr, u"patrol-lamp: 这些条目不是 http/https 网址，检查时按不支持的网址报告：%1"_s.arg(nonWeb));
    if (options.shard && HasSiteEntries(siteList)) {
        siteList = FilterSiteList(siteList, *options.shard);
        if (siteList.isEmpty()) {
            *error = u"第 %1/%2 片中没有网站"_s.arg(options.shard->index).arg(options.shard->count);
            return false;
        }
    }
    if (!HasSiteEntries(siteList)) {
        *error = u"请先输入要监控的网站地址列表！\n（用 --sites FILE 指定列表文件，或在窗口中输入网站列表）"_s;
        return false;
    }
    if (!ApplyOptions(stored.settings, options, &input->settings, error))
        return false;
    input->siteList = std::move(siteList);
    return true;
}

WebAnswer HealthAnswer(bool ok, const QString& text)
{
    WebAnswer answer;
    answer.status = ok ? 200 : 503;
    answer.body = (text + u'\n').toUtf8();
    return answer;
}

} // namespace

void RaiseOpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int RunHeadless(int argc, char** argv)
{
    // No display is needed or looked for: the run and its models need Qt Core only.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"patrol-lamp"_s);
    QCoreApplication::setApplicationVersion(Persist::ProgramVersion());

    HeadlessOptions options;
    QString error;
    if (!ParseHeadlessArguments(app.arguments().mid(1), &options, &error))
        return Fail(error + u"\n（patrol-lamp --headless --help 显示用法）"_s);
    if (options.help) {
        PrintLine(stdout, HeadlessUsageText());
        return 0;
    }
    if (options.version) {
        PrintLine(stdout, Persist::ProgramTitle() + u" patrol-lamp "_s + Persist::ProgramVersion());
        return 0;
    }

    const bool configGiven = !options.configPath.isEmpty();
    const QString configPath = configGiven ? options.configPath : DefaultConfigPath();
    StoredSettings stored;
    if (!LoadStoredSettings(configPath, configGiven, &stored, &error))
        return Fail(error);
    for (const QString& problem : std::as_const(stored.alertProblems))
        PrintLine(stderr, u"patrol-lamp: "_s + problem);
    if (options.notifyTest)
        return SendTestNotices(NotifyTargets(options, stored.alerts));
    RunInput input;
    if (!LoadRunInput(options, stored, &input, &error))
        return Fail(error);
    QString siteList = std::move(input.siteList);
    const MonitorSettings settings = input.settings;

    std::signal(SIGPIPE, SIG_IGN);
    EnsureCurlGlobalInit();
    LoadStatusCodeList();
    qRegisterMetaType<CheckRecord>();
    qRegisterMetaType<PassSummary>();

    int exitStatus = kExitUsage;
    HeadlessRunner runner(settings, siteList, options.passes, options.format);
    siteList = QString(); // the runner's copy is the only one, freed once the rows are filled
    SiteMetrics metrics;
    SiteBoard board;
    StatusPage statusPage(&board);
    std::unique_ptr<MetricsServer> metricsServer;
    if (options.listenPort) {
        metricsServer = std::make_unique<MetricsServer>([&metrics] { return metrics.Render(); });
        if (!options.webConfigPath.isEmpty()) {
            WebConfig webConfig;
            if (!LoadWebConfig(options.webConfigPath, &webConfig, &error))
                return Fail(error);
            metricsServer->SetWebConfig(webConfig);
        }
        if (!metricsServer->Listen(options.listenHost, *options.listenPort, &error))
            return Fail(error);
        runner.SetMetrics(&metrics);
        metricsServer->Route("/-/healthy", [](const WebRequest&) { return HealthAnswer(true, u"正常"_s); });
        metricsServer->Route("/-/ready", [&runner](const WebRequest&) {
            QString why;
            const bool ready = runner.Ready(&why);
            return HealthAnswer(ready, why);
        });
        runner.SetBoard(&board);
        statusPage.Install(metricsServer.get());
        if (options.shard)
            metrics.SetShard(options.shard->index, options.shard->count);
        PrintLine(stderr, u"指标：%1"_s.arg(metricsServer->MetricsUrl()));
        PrintLine(stderr, u"状态页：%1"_s.arg(metricsServer->MetricsUrl().chopped(int(qstrlen("metrics")))));
    }
    if (!options.noHistory) {
        const QString historyPath = HeadlessHistoryPath(options.historyPath, configPath);
        if (PrepareHistoryFolder(historyPath, &error)) {
            if (options.listenPort)
                metrics.SeedVerdicts(HistoryStore::ReadVerdicts(historyPath));
            runner.Recorder()->SetHistoryPath(historyPath);
            statusPage.SetHistoryPath(historyPath);
        } else
            PrintLine(stderr, error);
    }
    runner.Recorder()->SetNotifyTargets(NotifyTargets(options, stored.alerts));
    runner.Recorder()->SetAlertRules(ConfirmPasses(options, stored.alerts), RemindMinutes(options, stored.alerts));
    // The first SIGINT or SIGTERM stops gracefully; a second SIGINT does not wait for the checks under way.
    // SIGHUP re-reads what was read at start; a list or setting that fails keeps the running ones.
    SignalBridge signalBridge({ SIGINT, SIGTERM, SIGHUP });
    signalBridge.ExitOnSecondInterrupt(kExitInterrupted, "\n再次中断，立即退出。\n");
    QObject::connect(&signalBridge, &SignalBridge::Received, &runner, [&](int signalNumber) {
        if (signalNumber != SIGHUP) {
            runner.StopOnSignal();
            return;
        }
        StoredSettings again;
        RunInput reread;
        QString why;
        if (LoadStoredSettings(configPath, configGiven, &again, &why) && LoadRunInput(options, again, &reread, &why))
            runner.Reload(reread.siteList, reread.settings);
        else
            PrintLine(stderr, u"patrol-lamp: 重新读取失败，继续使用原来的列表和设置：%1"_s.arg(why));
    });
    QObject::connect(&runner, &HeadlessRunner::Finished, &app, [&](int status) {
        exitStatus = status;
        app.quit();
    });
    QTimer::singleShot(0, &runner, &HeadlessRunner::Start);
    app.exec();
    return exitStatus;
}
