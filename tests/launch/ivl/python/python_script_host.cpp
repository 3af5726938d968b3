// Runs a script through the Python host the way the launcher's script start does, with the
// recording application object: "python_script_host SCRIPT [FUNCTION]". Log lines go to
// "startup.log" beside the script; the exit code is 0 unless the host ends the process.
#include "common/system/zlog.h"
#include "common/system/zwin.h"
#include "launch/ivl/ipython.h"
#include "launch/ivl/zivl.h"
#include "fake_application.h"
#include <stdio.h>
#include <string>

namespace
{
std::string s_LogPath;

void AppendToLog(int32_t, const char*, const char*, const char* szText)
{
    FILE* pFile = fopen(s_LogPath.c_str(), "a");
    if (pFile) {
        fputs(szText, pFile);
        fclose(pFile);
    }
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    std::string script = argv[1];
    size_t nSlash = script.rfind('\\');
    s_LogPath = (nSlash == std::string::npos ? std::string() : script.substr(0, nSlash + 1)) + "startup.log";
    ZLog::SetDisplayHook(&AppendToLog);

    IPython* pPython = CreatePython(ZIvL::Get());
    if (!pPython)
        return 3;
    bool bRan = pPython->RunFile(script.c_str());
    if (argc > 2)
        pPython->CallFunction(argv[2]);
    DestroyPython();
    return bRan ? 0 : 4;
}
