// The launcher's Python host interface. The start-up creates one host for the start script,
// runs the script through it and destroys it; the globals library keeps it in between, so the
// engine's scene-begin callback reaches the script's functions.
#pragma once

class ZIvL;

class IPython
{
public:
    virtual void Destroy(int nFlags) = 0;                                                  // 0: 1 = also free
    virtual bool RunFile(const char* szPath) = 0;                                          // 1
    virtual bool CallFunction(const char* szName) = 0;                                     // 2
    virtual void* AddModule(const char* szName) = 0;                                       // 3: the module object
    virtual bool AddFunction(void* pModule, const void* pDescription, void* pHelper) = 0;  // 4
    virtual bool ParseArgs(void* pArgs, const char* szFormat, ...) = 0;                    // 5

protected:
    ~IPython() = default;
};

// The held host, or a new one bound to the application object and handed to the globals
// library; null when this build has no interpreter.
IPython* CreatePython(ZIvL* pApplication);
// Destroys the held host, if any.
void DestroyPython();
