#pragma once

#include "monitor/notify_target.h"

#include <QList>
#include <QString>
#include <QStringList>

class FormStateStore;

// The ini section Persist::kAlertsSection as the window writes it and both the window and the headless command
// read it: history and desktop switches, the notification targets with their secrets, and the noise rules.
struct AlertSettings
{
    bool history = true;
    bool desktopNotifications = true;
    QList<NotifyTarget> targets;
    int confirmPasses = 1;
    int remindMinutes = 0; // 0: no reminders

    bool operator==(const AlertSettings&) const = default;
};

inline constexpr int kMaxConfirmPasses = 1'000'000;
inline constexpr int kMaxRemindMinutes = 5'256'000; // ten years

// Reads the section; the store's current section is kept. A stored target that no longer parses is left out and
// named in problems; a file with only the older single "通知网址" key gives that one generic webhook.
AlertSettings ReadAlertSettings(FormStateStore& store, QStringList* problems = nullptr);
// Writes the section in one batch; removed targets' keys are emptied so no old secret stays behind. A file that
// holds a target (its URL usually is a token) is narrowed to its owner; returns false when narrowing failed.
bool WriteAlertSettings(FormStateStore& store, const AlertSettings& settings);

// Whether any target carries a credential worth hiding: a secret, a token in the query or a password.
bool HoldsNotifySecret(const QList<NotifyTarget>& targets);
