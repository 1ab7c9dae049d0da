#pragma once

#include <QByteArray>

// The process_* series Prometheus client libraries export, read from /proc/self at each scrape: CPU time,
// resident and virtual memory, open and allowed descriptors, start time. A file that can't be read leaves its
// series out rather than exporting a wrong 0.
QByteArray ProcessMetricsText();
