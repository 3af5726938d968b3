// The application object and crash-mode setter as the Python host sees them, recording each call
// as one text line instead of running anything.
#pragma once
#include <string>
#include <vector>

struct FakeApplication
{
    std::vector<std::string> calls;   // e.g. "RunClient(1|scene|0|-|1|0|-|-)"; null texts as "-"
    const char* szCmdLine = nullptr;  // what GetCmdLine returns
    bool bCallSceneBegin = false;     // RunClient calls the script's "OnSceneBegin", as the engine does
};
FakeApplication& Fake();
