// Holds the sync program's mutex "IvlSync_Running" like a copy of it that ignores the close
// command: prints "holding" and keeps the mutex until its standard input closes.
#include <cstdio>

#include "common/system/zlock.h"

int main()
{
    HANDLE hMutex = ZCreateMutex("IvlSync_Running");
    if (!hMutex) {
        printf("taken\n");
        return 1;
    }
    printf("holding\n");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    ZCloseMutex(hMutex);
    return 0;
}
