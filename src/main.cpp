// Start-up: the headless command when asked for, otherwise the desktop window.
#include "cli/headless.h"
#include "ui/desktop_app.h"

#include <sys/resource.h>

#include <cstring>

// Hundreds of checks at once each hold sockets; the usual soft limit of 1024 descriptors is too few.
static void RaiseOpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int main(int argc, char** argv)
{
    RaiseOpenFileLimit();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0)
            return RunHeadless(argc, argv);
    }
    return RunDesktop(argc, argv);
}
