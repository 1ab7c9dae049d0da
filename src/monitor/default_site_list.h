#pragma once

#include <QString>

// The sample site list a first start shows (CR LF separated); one host cannot exist, so a first run has an abnormal
// row.
QString DefaultSiteList();
