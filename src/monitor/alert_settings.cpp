#include "monitor/alert_settings.h"

#include "http/url_text.h"
#include "store/atomic_file.h"
#include "store/form_state_store.h"
#include "store/persistence.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// The stored number when it is a whole number in range, else the default.
int StoredInt(FormStateStore& store, const QString& key, int min, int max, int defaultValue)
{
    bool ok = false;
    const int value = store.ReadText(key).trimmed().toInt(&ok);
    return ok && value >= min && value <= max ? value : defaultValue;
}

// Restores the caller's section however the function is left.
class SectionScope
{
public:
    explicit SectionScope(FormStateStore& store)
        : m_store(store)
        , m_saved(store.Section())
    {
        store.SetSection(Persist::kAlertsSection);
    }
    ~SectionScope() { m_store.SetSection(m_saved); }
    SectionScope(const SectionScope&) = delete;
    SectionScope& operator=(const SectionScope&) = delete;

private:
    FormStateStore& m_store;
    QString m_saved;
};

} // namespace

bool HoldsNotifySecret(const QList<NotifyTarget>& targets)
{
    for (const NotifyTarget& target : targets) {
        if (!target.secret.isEmpty() || RedactedNotifyUrl(target.url) != target.url)
            return true;
    }
    return false;
}

AlertSettings ReadAlertSettings(FormStateStore& store, QStringList* problems)
{
    const SectionScope scope(store);
    AlertSettings settings;
    settings.history = store.ReadBool(Persist::kHistoryEnabledKey, true);
    settings.desktopNotifications = store.ReadBool(Persist::kNotifyDesktopKey, true);
    settings.confirmPasses = StoredInt(store, Persist::kConfirmPassesKey, 1, kMaxConfirmPasses, 1);
    settings.remindMinutes = StoredInt(store, Persist::kRemindMinutesKey, 0, kMaxRemindMinutes, 0);
    const std::optional<QString> count = store.StoredText(Persist::kNotifyTargetCountKey);
    if (!count) {
        const QString url = store.ReadText(Persist::kNotifyUrlKey).trimmed();
        if (!url.isEmpty())
            settings.targets.append({ NotifyKind::Webhook, url, {} });
    } else {
        const int n = qBound(0, count->trimmed().toInt(), 10'000);
        for (int i = 1; i <= n; ++i) {
            const QString text = store.ReadText(Persist::NotifyTargetKey(i)).trimmed();
            if (text.isEmpty())
                continue;
            NotifyTarget target;
            QString why;
            if (!ParseNotifyTarget(text, &target, &why)) {
                if (problems)
                    problems->append(u"配置文件中的%1无法使用：%2"_s.arg(Persist::NotifyTargetKey(i), why));
                continue;
            }
            target.secret = store.ReadText(Persist::NotifyTargetSecretKey(i));
            settings.targets.append(target);
        }
    }
    // Files written before targets had secrets may be readable by others.
    bool narrowed = false;
    if (HoldsNotifySecret(settings.targets) && !store.Path().isEmpty()) {
        if (!NarrowToOwner(store.Path(), &narrowed) && problems)
            problems->append(u"配置文件 %1 含通知密钥，但无法将其权限收紧为仅本人可读写"_s.arg(store.Path()));
        else if (narrowed && problems)
            problems->append(u"配置文件 %1 含通知密钥，已将其权限收紧为仅本人可读写（0600）"_s.arg(store.Path()));
    }
    return settings;
}

bool WriteAlertSettings(FormStateStore& store, const AlertSettings& settings)
{
    // Narrowed before the secrets are written: the atomic replace keeps the file's permissions.
    const bool narrowed = store.Path().isEmpty() || !HoldsNotifySecret(settings.targets) || NarrowToOwner(store.Path());
    const SectionScope scope(store);
    const int oldCount = qBound(0, store.ReadText(Persist::kNotifyTargetCountKey).trimmed().toInt(), 10'000);
    store.BeginBatch();
    store.WriteBool(Persist::kHistoryEnabledKey, settings.history);
    store.WriteBool(Persist::kNotifyDesktopKey, settings.desktopNotifications);
    store.WriteText(Persist::kConfirmPassesKey, QString::number(settings.confirmPasses));
    store.WriteText(Persist::kRemindMinutesKey, QString::number(settings.remindMinutes));
    // Older copies read only this key: they keep the first generic webhook.
    QString webhook;
    for (const NotifyTarget& target : settings.targets) {
        if (target.kind == NotifyKind::Webhook) {
            webhook = target.url;
            break;
        }
    }
    store.WriteText(Persist::kNotifyUrlKey, webhook);
    const int count = int(settings.targets.size());
    store.WriteText(Persist::kNotifyTargetCountKey, QString::number(count));
    for (int i = 1; i <= std::max(count, oldCount); ++i) {
        const NotifyTarget* target = i <= count ? &settings.targets.at(i - 1) : nullptr;
        store.WriteText(
            Persist::NotifyTargetKey(i), target ? NotifyKindName(target->kind) + u'=' + target->url : QString());
        store.WriteText(Persist::NotifyTargetSecretKey(i), target ? target->secret : QString());
    }
    store.EndBatch();
    return narrowed;
}
