// The command line of the bench programs: a mode word and its arguments. Each mode prints its
// figures on one line and returns the program's exit code.
#pragma once
#include <stdio.h>
#include <string.h>

#include <initializer_list>

namespace ivlbench
{
struct Mode
{
    const char* szName;
    int nArgs;  // after the mode word
    int (*pfnRun)(char** argv);  // argv[0] is the mode's first argument
};

// Runs the mode the command line names; prints the usage and returns 2 when none fits.
inline int RunMode(int argc, char** argv, std::initializer_list<Mode> modes, const char* szUsage)
{
    for (const Mode& mode : modes)
        if (argc == mode.nArgs + 2 && strcmp(argv[1], mode.szName) == 0)
            return mode.pfnRun(argv + 2);
    fprintf(stderr, "usage: %s\n", szUsage);
    return 2;
}
}  // namespace ivlbench
