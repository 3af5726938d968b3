// The launcher's Python host: starts the embedded interpreter with the launcher's module search
// path, registers the modules "emb" (runs, packs, command line, user folder, crash mode) and
// "prop" (options store), runs a script file as the module "ZPython" and calls its functions by
// name. A Python exception is logged with its call stack and, outside a debugger, ends the
// process with exit code 1 after the "Python error" box.
#pragma once
#include <stdint.h>
#include "common/containers/zlist.h"
#include "common/containers/zstringbuffer.h"
#include "launch/ivl/ipython.h"

struct _object;
typedef struct _object PyObject;
struct PyMethodDef;

// A function that AddFunction puts into a module: the name scripts call it by and data handed
// to its helper.
struct ZPythonFunction
{
    const char* m_szName;
    void* m_pData;
};
// Called with the argument tuple, the description's data and the result byte (preset to 1);
// false reports a failure (the exception printer then runs when a host is held).
typedef bool (*ZPythonHelper)(PyObject* pArgs, void* pData, uint8_t* pResult);

// Copies one parsed argument value (as PyArg wrote it) into a destination of its type.
class IValueConverter
{
public:
    // The destination, or null when there is none.
    virtual void* Store(void* pDestination, const void* pSource) const = 0;

protected:
    ~IValueConverter() = default;
};

class ZPython final : public IPython
{
public:
    // Null when the interpreter cannot be started.
    static ZPython* Create(ZIvL* pApplication);

    void Destroy(int nFlags) override;
    bool RunFile(const char* szPath) override;
    bool CallFunction(const char* szName) override;
    void* AddModule(const char* szName) override;
    bool AddFunction(void* pModule, const void* pDescription, void* pHelper) override;
    bool ParseArgs(void* pArgs, const char* szFormat, ...) override;

    // "%s;%s;%s\Python;q:\Python" with the user's application-data folder and twice the current
    // folder, made on the first call and kept for the process.
    static const char* GetSearchPath();
    // Starts the interpreter (once) and registers "emb" and "prop"; true when it runs.
    static bool InitPythonModules(ZIvL* pApplication);
    // Logs the pending Python exception; outside a debugger shows it and ends the process.
    static void PrintException();
    // The converter at a type index (see TypeDescriptor), once the interpreter has started; null
    // for a type without one.
    static const IValueConverter* GetConverter(int nTypeIndex);

    struct FunctionRecord;

private:
    ZPython() : m_pCode(nullptr) {}
    ~ZPython();

    ZList<FunctionRecord*> m_Functions;
    PyObject* m_pCode;  // the code object while a script runs
};

// The text that "emb.CmdLine" returns for a command line: UTF-8 as it is; other bytes are
// read in the ANSI code page the command line came in.
PyObject* ZPythonCommandLineText(const char* szCmdLine);
