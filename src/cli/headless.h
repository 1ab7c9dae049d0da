#pragma once

// Runs the monitoring run without a window; returns the process exit status.
int RunHeadless(int argc, char** argv);
