#include "cli/headless_settings.h"

#include "monitor/default_site_list.h"
#include "store/form_state_store.h"
#include "store/persistence.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

QString DefaultConfigPath()
{
    return Persist::DefaultConfigPath(QCoreApplication::applicationDirPath());
}

bool LoadStoredSettings(const QString& path, bool mustExist, StoredSettings* stored, QString* error)
{
    *stored = {};
    stored->siteList = DefaultSiteList();
    const QFileInfo info(path);
    if (!info.exists()) {
        if (!mustExist)
            return true;
        *error = u"配置文件不存在：%1"_s.arg(path);
        return false;
    }
    QFile probe(path);
    if (info.isDir() || !probe.open(QIODevice::ReadOnly)) {
        *error = u"无法读取配置文件 %1：%2"_s.arg(path, info.isDir() ? u"是一个目录"_s : probe.errorString());
        return false;
    }
    probe.close();

    FormStateStore store;
    store.SetFile(path, 1);
    store.SetSection(Persist::kSection);
    MonitorSettings& s = stored->settings;
    for (const SettingsField& field : SettingsFields()) {
        if (field.text)
            s.*field.text = store.ReadText(field.key, s.*field.text);
        else
            s.*field.flag = store.ReadBool(field.key, s.*field.flag);
    }
    stored->siteList = store.ReadText(Persist::TagKey(Persist::kSiteListButton), stored->siteList);
    stored->alerts = ReadAlertSettings(store, &stored->alertProblems);
    return true;
}

QList<NotifyTarget> NotifyTargets(const HeadlessOptions& options, const AlertSettings& stored)
{
    if (options.notifyTargets.isEmpty() && options.notifyUrl.isEmpty())
        return stored.targets;
    QList<NotifyTarget> targets = options.notifyTargets;
    if (!options.notifyUrl.isEmpty())
        targets.prepend({ NotifyKind::Webhook, options.notifyUrl, {} });
    return targets;
}

int ConfirmPasses(const HeadlessOptions& options, const AlertSettings& stored)
{
    return options.confirmPasses.value_or(stored.confirmPasses);
}

int RemindMinutes(const HeadlessOptions& options, const AlertSettings& stored)
{
    return options.remindMinutes.value_or(stored.remindMinutes);
}

bool ApplyOptions(
    const MonitorSettings& stored, const HeadlessOptions& options, MonitorSettings* settings, QString* error)
{
    MonitorSettings s = stored;
    if (options.threads)
        s.threadsText = *options.threads;
    if (options.timeout)
        s.timeoutText = *options.timeout;
    if (options.interval)
        s.intervalText = *options.interval;
    if (options.statusCodes) {
        s.byStatus = true;
        s.statusCodes = *options.statusCodes;
    }
    if (options.noStatus)
        s.byStatus = false;
    if (options.invertStatus)
        s.invertStatus = true;
    if (options.content) {
        s.byContent = true;
        s.contentKeywords = *options.content;
    }
    if (options.invertContent)
        s.invertContent = true;

    // The window waits for the user to fix such a value; without a window the run would never move.
    if (!IsThreadCountText(s.threadsText)) {
        *error = u"配置文件中的线程数“%1”无效（应为 1 至 %2 的整数）；可用 --threads 指定"_s.arg(s.threadsText)
                     .arg(kMaxHeadlessThreads);
        return false;
    }
    if (!IsTimeoutText(s.timeoutText)) {
        *error = u"配置文件中的超时秒“%1”无效（应为 1 至 3600 的整数）；可用 --timeout 指定"_s.arg(s.timeoutText);
        return false;
    }
    *settings = s;
    return true;
}
