#pragma once

// Start-up and shutdown of the desktop program; returns the process exit status.
int RunDesktop(int argc, char** argv);

// Installs Qt's own Chinese texts (message-box buttons, edit boxes' context menus) into the running
// application; false when the translation files are not installed.
bool LoadQtTranslations();
