#include "ui/run_texts.h"

using namespace Qt::StringLiterals;

QString StartButtonCaption(MonitoringRun::RunState state)
{
    switch (state) {
    case MonitoringRun::RunState::Running:
        return u"停止监控"_s;
    case MonitoringRun::RunState::Stopping:
        return u"停止中.."_s;
    case MonitoringRun::RunState::WaitingThreads:
        return u"等待线程退出.."_s;
    case MonitoringRun::RunState::Idle:
        break;
    }
    return u"开始监控"_s;
}

QString SiteListHeader(int sites)
{
    return u"全部网站（%1 个）"_s.arg(sites);
}

QString AbnormalListHeader(int abnormal)
{
    return abnormal < 0 ? u"不正常网站"_s : u"不正常网站（%1 个）"_s.arg(abnormal);
}

QString CheckCaption(const QString& baseTitle, int running, int row)
{
    return baseTitle + u" 线程数："_s + QString::number(running) + u",表项索引："_s + QString::number(row);
}
