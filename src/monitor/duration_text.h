#pragma once

#include <QString>

// Response time wording: one number and the largest unit reached ("250 毫秒", "1.5 秒"), or the long form.
QString DurationText(qint64 milliseconds, bool longForm = false);
