#pragma once

#include <QString>

#include <span>

using namespace Qt::StringLiterals;

// The inputs a check reads at check time, as the window's components hold them.
struct MonitorSettings
{
    bool byStatus = true; // 选择框按状态码
    QString statusCodes = u"200|301|100|302"_s; // 编辑框状态码
    bool invertStatus = false; // 选择框取反状态码
    bool byContent = false; // 选择框按网页内容
    QString contentKeywords = u"网页代码中出现的内容"_s; // 编辑框网页内容
    bool invertContent = false; // 选择框取反网页内容
    QString timeoutText = u"10"_s; // 编辑框超时秒
    QString threadsText = u"5"_s; // 编辑框线程数
    QString intervalText = u"100"_s; // 编辑框间隔秒
};

// The ini key of each input and the setting it holds, written once: the window's components carry these keys as
// their names and the headless command reads the same keys from the file. Exactly one of text and flag is set.
struct SettingsField
{
    const QString& key;
    QString MonitorSettings::*text = nullptr;
    bool MonitorSettings::*flag = nullptr;
};
std::span<const SettingsField> SettingsFields();

// Leading decimal digits after optional blanks and sign; no digits gives 0, overflow saturates.
int LeadingInt(const QString& text);
// Leading decimal number (digits, one point) after optional blanks and sign; no number gives 0.
double LeadingDouble(const QString& text);
