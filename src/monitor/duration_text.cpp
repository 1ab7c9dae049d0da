#include "monitor/duration_text.h"

#include <QStringList>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr double kTolerance = 1e-7;

bool Reaches(double value, double limit)
{
    return value - limit >= -kTolerance;
}

// At most two decimals, no trailing zeros, never an exponent.
QString Rounded(double value)
{
    QString text = QString::number(std::round(value * 100.0) / 100.0, 'f', 2);
    while (text.endsWith(u'0'))
        text.chop(1);
    if (text.endsWith(u'.'))
        text.chop(1);
    if (text == u"-0"_s)
        text = u"0"_s;
    return text;
}

QString ShortForm(qint64 milliseconds)
{
    const double d = double(milliseconds);
    if (!Reaches(d, 1000))
        return Rounded(d) + u" 毫秒"_s;
    const double s = d / 1000;
    if (!Reaches(s, 60))
        return Rounded(s) + u" 秒"_s;
    double g = s / 60;
    if (!Reaches(g, 60))
        return Rounded(g) + u" 分"_s;
    g /= 60;
    if (!Reaches(g, 24))
        return Rounded(g) + u" 时"_s;
    g /= 24;
    if (!Reaches(g, 30))
        return Rounded(g) + u" 天"_s;
    g /= 30;
    if (!Reaches(g, 12))
        return Rounded(g) + u" 月"_s;
    return Rounded(g / 12) + u" 年"_s;
}

// Every non-zero part from years down to milliseconds, largest first: "1 天 2 小时 5 秒".
QString LongForm(qint64 milliseconds)
{
    if (milliseconds < 1000)
        return QString::number(milliseconds) + u" 毫秒"_s;
    struct Unit
    {
        qint64 size;
        QString name;
    };
    const qint64 day = 24LL * 3600 * 1000;
    const Unit units[] = { { 360 * day, u" 年"_s }, { 30 * day, u" 月"_s }, { day, u" 天"_s },
        { 3600 * 1000, u" 小时"_s }, { 60 * 1000, u" 分钟"_s }, { 1000, u" 秒"_s }, { 1, u" 毫秒"_s } };
    QStringList parts;
    qint64 rest = milliseconds;
    for (const Unit& unit : units) {
        const qint64 count = rest / unit.size;
        rest %= unit.size;
        if (count != 0)
            parts.append(QString::number(count) + unit.name);
    }
    return parts.join(u' ');
}

} // namespace

QString DurationText(qint64 milliseconds, bool longForm)
{
    return longForm ? LongForm(milliseconds) : ShortForm(milliseconds);
}
