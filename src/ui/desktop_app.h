#pragma once

// Start-up and shutdown of the desktop program; returns the process exit status.
int RunDesktop(int argc, char** argv);
