// Start-up: the headless command when asked for, otherwise the desktop window.
#include "cli/headless.h"
#include "ui/desktop_app.h"

#include <cstring>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0)
            return RunHeadless(argc, argv);
    }
    return RunDesktop(argc, argv);
}
