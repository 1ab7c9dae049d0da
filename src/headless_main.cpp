// Start-up of the server build: the headless command alone, linked without Qt Widgets or any display library,
// so the exporter installs on a machine without X. Its arguments are those of `patrol-lamp --headless`.
#include "cli/headless.h"

int main(int argc, char** argv)
{
    RaiseOpenFileLimit();
    return RunHeadless(argc, argv);
}
