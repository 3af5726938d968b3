// A DLL for the library tests: two exports and nothing else.
#include <windows.h>

extern "C" __declspec(dllexport) int SystemTestAdd(int a, int b)
{
    return a + b;
}

extern "C" __declspec(dllexport) const char* SystemTestName()
{
    return "systemtestlib";
}
