#pragma once

// Runs the monitoring run without a window; returns the process exit status.
int RunHeadless(int argc, char** argv);

// Hundreds of checks at once each hold sockets; the usual soft limit of 1024 descriptors is too few.
void RaiseOpenFileLimit();
