#include "cli/headless.h"

#include <cstdio>

int RunHeadless(int, char**)
{
    std::fputs("patrol-lamp: the headless command is not built yet\n", stderr);
    return 3;
}
