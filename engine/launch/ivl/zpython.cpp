// Python.h first: it settles the C runtime's time_t before any other header does.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "launch/ivl/zpython.h"
#include "common/containers/zmemorybuffer.h"
#include "common/system/file.h"
#include "common/system/path.h"
#include "common/system/zlog.h"
#include "common/system/zmessagebox.h"
#include "launch/ivl/globvals.h"
#include "launch/ivl/selfdebugmodes.h"
#include "launch/ivl/zivl.h"
#include "player/component/componentmanager.h"
#include "shared/debug/selfdebug.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

struct ZPython::FunctionRecord
{
    PyMethodDef m_Method;
    ZPythonHelper m_pfnHelper;
    void* m_pData;
    ZStringBuffer<64> m_sName;
};

namespace
{
const char* const kCategory = "common.misc";
const char* const kModuleName = "ZPython";

void LogLine(int nLevel, const char* szText)
{
    ZLog::Output(nLevel, kCategory, __FILE__, szText);
}

void LogFormat(int nLevel, const char* szFormat, ...) ZPRINTF_FORMAT(2, 3);
void LogFormat(int nLevel, const char* szFormat, ...)
{
    ZStringBuffer<256> text;
    va_list args;
    va_start(args, szFormat);
    text.FormatV(szFormat, args);
    va_end(args);
    LogLine(nLevel, text.GetData());
}

// The standard library ships as python311.zip beside the interpreter's DLL.
std::wstring StandardLibraryZip()
{
    HMODULE hPython = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&Py_InitializeFromConfig), &hPython);
    wchar_t szPath[MAX_PATH];
    DWORD n = hPython ? GetModuleFileNameW(hPython, szPath, MAX_PATH) : 0;
    if (n == 0 || n >= MAX_PATH)
        return L"python311.zip";
    wchar_t* pSlash = wcsrchr(szPath, L'\\');
    if (pSlash)
        pSlash[1] = 0;
    else
        szPath[0] = 0;
    return std::wstring(szPath) + L"python311.zip";
}

// str(object) as UTF-8; false when the object has no text.
bool ObjectText(PyObject* pObject, std::string& text)
{
    if (!pObject)
        return false;
    PyObject* pText = PyObject_Str(pObject);
    const char* szText = pText ? PyUnicode_AsUTF8(pText) : nullptr;
    if (szText)
        text = szText;
    Py_XDECREF(pText);
    PyErr_Clear();
    return szText != nullptr;
}

// File name and line of one traceback entry; false when its frame has no code object.
bool TracebackEntry(PyObject* pTraceback, std::string& file, int& nLine)
{
    PyObject* pFrame = PyObject_GetAttrString(pTraceback, "tb_frame");
    PyCodeObject* pCode = (pFrame && PyFrame_Check(pFrame)) ? PyFrame_GetCode((PyFrameObject*)pFrame) : nullptr;
    bool bFound = pCode != nullptr;
    if (bFound) {
        PyObject* pFile = PyObject_GetAttrString((PyObject*)pCode, "co_filename");
        if (!ObjectText(pFile, file))
            file = "[unknown]";
        Py_XDECREF(pFile);
        PyObject* pLine = PyObject_GetAttrString(pTraceback, "tb_lineno");
        nLine = pLine ? (int)PyLong_AsLong(pLine) : 0;
        Py_XDECREF(pLine);
    }
    Py_XDECREF(pCode);
    Py_XDECREF(pFrame);
    PyErr_Clear();
    return bFound;
}

// ---------------------------------------------------------------------------------------------
// Value converters. Each source is what PyArg wrote for the type's format: "b" an unsigned
// char, "i" an int, "l" a long, "f" a float, "s" a text pointer.

static_assert(sizeof(long) == sizeof(int32_t) && sizeof(int) == sizeof(int32_t), "int and long share a converter");

// A plain value: PyArg wrote an S, the destination holds a D. Copied bytewise, since the
// integer converter reads and writes int and long alike.
template <class D, class S>
class ValueConverter final : public IValueConverter
{
public:
    void* Store(void* pDestination, const void* pSource) const override
    {
        if (!pDestination)
            return nullptr;
        S source;
        memcpy(&source, pSource, sizeof(S));
        D value = static_cast<D>(source);
        memcpy(pDestination, &value, sizeof(D));
        return pDestination;
    }
};

class StringConverter final : public IValueConverter
{
public:
    void* Store(void* pDestination, const void* pSource) const override
    {
        if (pDestination)
            static_cast<ZStringBase*>(pDestination)->Assign(*static_cast<const char* const*>(pSource));
        return pDestination;
    }
};

const ValueConverter<bool, unsigned char> s_BoolConverter;
const ValueConverter<int32_t, int32_t> s_IntegerConverter;
const ValueConverter<float, float> s_FloatConverter;
const StringConverter s_StringConverter;
const IValueConverter* s_apConverters[TypeIndexRegistry::MaxTypes];

void PutConverter(const TypeDescriptor& type, const IValueConverter* pConverter)
{
    if (type.m_nIndex >= 0 && type.m_nIndex < TypeIndexRegistry::MaxTypes)
        s_apConverters[type.m_nIndex] = pConverter;
}

void PutConvertersOnce()
{
    static bool s_bDone = false;
    if (s_bDone)
        return;
    PutConverter(g_BoolType, &s_BoolConverter);
    PutConverter(g_IntType, &s_IntegerConverter);
    PutConverter(g_LongType, &s_IntegerConverter);
    PutConverter(g_FloatType, &s_FloatConverter);
    PutConverter(g_StringType, &s_StringConverter);
    s_bDone = true;
}

// ---------------------------------------------------------------------------------------------
// Module "emb": self is the application object's address, or null when there is none.

ZIvL* ApplicationOf(PyObject* pSelf)
{
    if (!pSelf)
        return nullptr;
    void* pAddress = PyLong_AsVoidPtr(pSelf);
    PyErr_Clear();
    return static_cast<ZIvL*>(pAddress);
}

PyObject* NoEngine()
{
    LogLine(ZLOG_PRINT, "Engine not initialized (or python doesn't know about it)");
    return PyLong_FromLong(0);
}

// Tries the formats in order; the first that matches wins. A failed try may have written some
// destinations, so each try starts again from the defaults.
template <class Values, class Parse>
int MatchForm(PyObject* pArgs, const Values& defaults, Values& values, int nForms, Parse parse)
{
    for (int nForm = 0; nForm < nForms; ++nForm) {
        values = defaults;
        if (parse(nForm, pArgs, values))
            return nForm;
        PyErr_Clear();
    }
    values = defaults;
    return -1;
}

PyObject* AppResult(bool bResult)
{
    PyErr_Clear();
    return Py_BuildValue("b", bResult ? 1 : 0);
}

PyObject* EmbPrint(PyObject* pSelf, PyObject* pArgs)
{
    if (!ApplicationOf(pSelf))
        return NoEngine();
    const char* szText = nullptr;
    if (!PyArg_ParseTuple(pArgs, "s", &szText))
        return nullptr;
    LogLine(ZLOG_PRINT, szText);
    Py_RETURN_NONE;
}

PyObject* EmbBreak(PyObject* pSelf, PyObject* pArgs)
{
    if (!ApplicationOf(pSelf))
        return NoEngine();
    const char* szText = nullptr;
    if (!PyArg_ParseTuple(pArgs, "s", &szText))
        return nullptr;
    LogFormat(ZLOG_PRINT, "Break() in python script:\n%s", szText);
    DebugBreak();
    Py_RETURN_NONE;
}

PyObject* EmbPackWith(PyObject* pSelf, PyObject* pArgs, bool bRepack)
{
    ZIvL* pApplication = ApplicationOf(pSelf);
    if (!pApplication)
        return NoEngine();
    const char* szScene = nullptr;
    if (!PyArg_ParseTuple(pArgs, "s", &szScene)) {
        PyErr_Clear();
        LogLine(ZLOG_PRINT, "Invalid argument(s) to emb.Pack");
        return PyLong_FromLong(0);
    }
    bool bResult = bRepack ? pApplication->PackAndRepack(szScene) : pApplication->Pack(szScene);
    return AppResult(bResult);
}

PyObject* EmbPack(PyObject* pSelf, PyObject* pArgs)
{
    return EmbPackWith(pSelf, pArgs, false);
}
PyObject* EmbPackAndRepack(PyObject* pSelf, PyObject* pArgs)
{
    return EmbPackWith(pSelf, pArgs, true);
}

struct RunValues
{
    const char* szSessionId = nullptr;
    const char* szScene = nullptr;
    unsigned char bLoadFromServer = 0;
    const char* szPlayerSessionId = nullptr;
    unsigned char bAllowLocalServer = 1;
    int nPort = 0;
    const char* szWebEntrance = nullptr;
    const char* szParentText = nullptr;
    int nParentWindow = 0;
};

PyObject* EmbRun(PyObject* pSelf, PyObject* pArgs)
{
    ZIvL* pApplication = ApplicationOf(pSelf);
    if (!pApplication)
        return NoEngine();
    RunValues v;
    int nForm = MatchForm(pArgs, RunValues(), v, 8, [](int nForm, PyObject* pArgs, RunValues& v) {
        switch (nForm) {
        case 0: return PyArg_ParseTuple(pArgs, "sss", &v.szSessionId, &v.szScene, &v.szParentText) != 0;
        case 1:
            return PyArg_ParseTuple(pArgs, "ssbsbisi", &v.szSessionId, &v.szScene, &v.bLoadFromServer,
                                    &v.szPlayerSessionId, &v.bAllowLocalServer, &v.nPort, &v.szWebEntrance,
                                    &v.nParentWindow) != 0;
        case 2:
            return PyArg_ParseTuple(pArgs, "ssbsbis", &v.szSessionId, &v.szScene, &v.bLoadFromServer,
                                    &v.szPlayerSessionId, &v.bAllowLocalServer, &v.nPort, &v.szWebEntrance) != 0;
        case 3:
            return PyArg_ParseTuple(pArgs, "ssbsb", &v.szSessionId, &v.szScene, &v.bLoadFromServer,
                                    &v.szPlayerSessionId, &v.bAllowLocalServer) != 0;
        case 4:
            return PyArg_ParseTuple(pArgs, "ssbs", &v.szSessionId, &v.szScene, &v.bLoadFromServer,
                                    &v.szPlayerSessionId) != 0;
        case 5: return PyArg_ParseTuple(pArgs, "ssb", &v.szSessionId, &v.szScene, &v.bLoadFromServer) != 0;
        case 6: return PyArg_ParseTuple(pArgs, "ss", &v.szSessionId, &v.szScene) != 0;
        default: v.szSessionId = "1"; return PyArg_ParseTuple(pArgs, "s", &v.szScene) != 0;
        }
    });
    if (nForm < 0) {
        LogLine(ZLOG_PRINT, "Invalid argument(s) to emb.Run");
        return PyLong_FromLong(0);
    }
    char szParent[32];
    const char* pParent = v.szParentText;
    if (nForm == 1 && v.nParentWindow != 0) {
        snprintf(szParent, sizeof(szParent), "%d", v.nParentWindow);
        pParent = szParent;
    }
    bool bResult = pApplication->RunClient(v.szSessionId, v.szScene, v.bLoadFromServer != 0, v.szPlayerSessionId,
                                           v.bAllowLocalServer != 0, v.nPort, v.szWebEntrance, pParent);
    return AppResult(bResult);
}

PyObject* EmbRunServer(PyObject* pSelf, PyObject* pArgs)
{
    ZIvL* pApplication = ApplicationOf(pSelf);
    if (!pApplication)
        return NoEngine();
    RunValues v;
    int nForm = MatchForm(pArgs, RunValues(), v, 4, [](int nForm, PyObject* pArgs, RunValues& v) {
        switch (nForm) {
        case 0:
            return PyArg_ParseTuple(pArgs, "ssbis", &v.szSessionId, &v.szScene, &v.bLoadFromServer, &v.nPort,
                                    &v.szWebEntrance) != 0;
        case 1: return PyArg_ParseTuple(pArgs, "ssb", &v.szSessionId, &v.szScene, &v.bLoadFromServer) != 0;
        case 2: return PyArg_ParseTuple(pArgs, "ssis", &v.szSessionId, &v.szScene, &v.nPort, &v.szWebEntrance) != 0;
        default: return PyArg_ParseTuple(pArgs, "ss", &v.szSessionId, &v.szScene) != 0;
        }
    });
    if (nForm < 0) {
        LogLine(ZLOG_PRINT, "Invalid argument(s) to emb.RunServer");
        return PyLong_FromLong(0);
    }
    bool bResult = pApplication->RunServer(v.szSessionId, v.szScene, v.bLoadFromServer != 0, v.nPort, v.szWebEntrance);
    return AppResult(bResult);
}

PyObject* EmbCmdLine(PyObject* pSelf, PyObject*)
{
    ZIvL* pApplication = ApplicationOf(pSelf);
    if (!pApplication)
        return NoEngine();
    const char* szCmdLine = pApplication->GetCmdLine();
    if (!szCmdLine)
        Py_RETURN_NONE;
    return ZPythonCommandLineText(szCmdLine);
}

PyObject* EmbUserDir(PyObject*, PyObject*)
{
    ZStringBuffer<256> folder = File::GetAppDataFolder();
    return PyUnicode_DecodeUTF8(folder.GetData(), folder.GetLength(), "ignore");
}

PyObject* EmbSetCrashReport(PyObject* pSelf, PyObject* pArgs)
{
    if (!ApplicationOf(pSelf))
        return NoEngine();
    long nMode = 0;
    if (!PyArg_ParseTuple(pArgs, "l", &nMode)) {
        PyErr_Clear();
        return PyLong_FromLong(0);
    }
    if (nMode < 0 || nMode > 5) {
        LogFormat(ZLOG_PRINT, "Invalid crash report mode %d. Not changing the report mode.", (int)nMode);
        return PyLong_FromLong(0);
    }
    SetCrashReportMode((int)nMode);
    return PyLong_FromLong(1);
}

PyMethodDef s_EmbMethods[] = {
    {"Print", EmbPrint, METH_VARARGS, "Basic print function."},
    {"Break", EmbBreak, METH_VARARGS, "Break into debugger (INT3)"},
    {"Pack", EmbPack, METH_VARARGS, "Pack a scene"},
    {"PackAndRepack", EmbPackAndRepack, METH_VARARGS, "Pack and Repacks a scene"},
    {"Run", EmbRun, METH_VARARGS, "Run a scene (debug mode: starts a server if needed)"},
    {"RunServer", EmbRunServer, METH_VARARGS, "Run a dedicated server"},
    {"CmdLine", EmbCmdLine, METH_VARARGS, "Returns the command line"},
    {"UserDir", EmbUserDir, METH_VARARGS, "Returns the user directory"},
    {"SetCrashReport", EmbSetCrashReport, METH_VARARGS,
     "Sets the crash report mode (0=crash, 1=messagebox, 2=logfile, 3=upload with dialog, 4=upload silently"},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Module "prop": options in the options store, by "section.key" or by a single name.

ZStringBuffer<256> OptionName(const char* szSection, const char* szKey)
{
    ZStringBuffer<256> name(szSection);
    if (szKey) {
        name.AppendChar('.');
        name.Append(szKey);
    }
    return name;
}

PyObject* PropResult(bool bMatched)
{
    PyErr_Clear();
    return PyLong_FromLong(bMatched ? 1 : 0);
}

// The two forms of a setter's arguments: (section, key, value) or (name, value); szForm is
// the long form's format, the short form's is the same without its first "s".
template <class TValue, class TSet>
PyObject* PropSet(PyObject* pArgs, const char* szForm, TSet set)
{
    const char *szSection = nullptr, *szKey = nullptr;
    TValue value = TValue();
    bool bMatched = PyArg_ParseTuple(pArgs, szForm, &szSection, &szKey, &value) ||
        (PyErr_Clear(), szKey = nullptr, PyArg_ParseTuple(pArgs, szForm + 1, &szSection, &value));
    if (bMatched)
        set(OptionName(szSection, szKey).GetData(), value);
    return PropResult(bMatched);
}

PyObject* PropSetFloat(PyObject*, PyObject* pArgs)
{
    return PropSet<float>(pArgs, "ssf", [](const char* szName, float fValue) { ZOptions::SetFloat(szName, fValue); });
}

PyObject* PropSetInt(PyObject*, PyObject* pArgs)
{
    return PropSet<long>(pArgs, "ssl",
                         [](const char* szName, long nValue) { ZOptions::SetInt(szName, (int32_t)nValue); });
}

PyObject* PropSetString(PyObject*, PyObject* pArgs)
{
    return PropSet<const char*>(pArgs, "sss",
                                [](const char* szName, const char* szValue) { ZOptions::SetString(szName, szValue); });
}

PyObject* PropSetBool(PyObject*, PyObject* pArgs)
{
    return PropSet<unsigned char>(
        pArgs, "ssb", [](const char* szName, unsigned char bValue) { ZOptions::SetBool(szName, bValue != 0); });
}

PyMethodDef s_PropMethods[] = {
    {"SetFloat", PropSetFloat, METH_VARARGS, nullptr},
    {"SetInt", PropSetInt, METH_VARARGS, nullptr},
    {"SetString", PropSetString, METH_VARARGS, nullptr},
    {"SetBool", PropSetBool, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The 3.x form of a module whose functions carry a bound self: the module from the import
// table, each function made with that self and stored in the module's dictionary.
bool RegisterModule(const char* szName, PyMethodDef* pMethods, PyObject* pSelf)
{
    PyObject* pModule = PyImport_AddModule(szName);  // borrowed
    PyObject* pDict = pModule ? PyModule_GetDict(pModule) : nullptr;
    PyObject* pModuleName = PyUnicode_FromString(szName);
    bool bResult = pDict && pModuleName;
    for (PyMethodDef* pMethod = pMethods; bResult && pMethod->ml_name; ++pMethod) {
        PyObject* pFunction = PyCFunction_NewEx(pMethod, pSelf, pModuleName);
        bResult = pFunction && PyDict_SetItemString(pDict, pMethod->ml_name, pFunction) == 0;
        Py_XDECREF(pFunction);
    }
    Py_XDECREF(pModuleName);
    return bResult;
}

// Functions added through AddFunction: self is the record's address.
PyObject* GenericWrapper(PyObject* pSelf, PyObject* pArgs)
{
    ZPython::FunctionRecord* pRecord = static_cast<ZPython::FunctionRecord*>(PyLong_AsVoidPtr(pSelf));
    uint8_t bResult = 1;
    if (!pRecord->m_pfnHelper(pArgs, pRecord->m_pData, &bResult)) {
        if (globvals::GetPython())
            ZPython::PrintException();
    }
    PyErr_Clear();
    return Py_BuildValue("b", bResult);
}
}  // namespace

// ---------------------------------------------------------------------------------------------

PyObject* ZPythonCommandLineText(const char* szCmdLine)
{
    Py_ssize_t nLength = (Py_ssize_t)strlen(szCmdLine);
    PyObject* pText = PyUnicode_DecodeUTF8(szCmdLine, nLength, "strict");
    if (pText)
        return pText;
    PyErr_Clear();
    // Each byte maps to a character in the code page, or to U+FFFD: this cannot fail.
    return PyUnicode_DecodeMBCS(szCmdLine, nLength, "replace");
}

const char* ZPython::GetSearchPath()
{
    static ZStringBuffer<1024> s_SearchPath;
    static bool s_bMade = false;
    if (!s_bMade) {
        wchar_t szCurrent[MAX_PATH];
        DWORD n = GetCurrentDirectoryW(MAX_PATH, szCurrent);
        if (n == 0 || n >= MAX_PATH)
            szCurrent[0] = 0;
        ZStringBuffer<MAX_PATH> current;
        current.AssignUtf16(szCurrent);
        ZStringBuffer<256> appData = File::GetAppDataFolder();
        s_SearchPath.Format("%s;%s;%s\\Python;q:\\Python", appData.GetData(), current.GetData(), current.GetData());
        s_bMade = true;
    }
    return s_SearchPath.GetData();
}

bool ZPython::InitPythonModules(ZIvL* pApplication)
{
    if (Py_IsInitialized())
        return true;

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.site_import = 0;
    config.write_bytecode = 0;
    config.install_signal_handlers = 0;
    config.pathconfig_warnings = 0;
    config.module_search_paths_set = 1;
    // The standard library first, so no file in the script folders can stand in for it.
    std::vector<std::wstring> paths(1, StandardLibraryZip());
    std::string searchPath = GetSearchPath();
    for (size_t nStart = 0; nStart <= searchPath.size();) {
        size_t nEnd = searchPath.find(';', nStart);
        if (nEnd == std::string::npos)
            nEnd = searchPath.size();
        if (nEnd > nStart)
            paths.push_back(ZWideText(searchPath.substr(nStart, nEnd - nStart).c_str()).c_str());
        nStart = nEnd + 1;
    }
    PyStatus status = PyStatus_Ok();
    for (const std::wstring& path : paths) {
        status = PyWideStringList_Append(&config.module_search_paths, path.c_str());
        if (PyStatus_Exception(status))
            break;
    }
    if (!PyStatus_Exception(status))
        status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        LogFormat(ZLOG_ERROR, "Python start failed: %s", status.err_msg ? status.err_msg : "");
        return false;
    }
    PutConvertersOnce();

    PyObject* pSelf = pApplication ? PyLong_FromVoidPtr(pApplication) : nullptr;
    bool bResult = RegisterModule("emb", s_EmbMethods, pSelf) && RegisterModule("prop", s_PropMethods, nullptr);
    Py_XDECREF(pSelf);
    if (!bResult) {
        PyErr_Clear();
        LogLine(ZLOG_ERROR, "Python modules emb and prop could not be made");
    }
    return bResult;
}

const IValueConverter* ZPython::GetConverter(int nTypeIndex)
{
    return nTypeIndex >= 0 && nTypeIndex < TypeIndexRegistry::MaxTypes ? s_apConverters[nTypeIndex] : nullptr;
}

ZPython* ZPython::Create(ZIvL* pApplication)
{
    ZPython* pPython = new ZPython();
    if (!InitPythonModules(pApplication)) {
        delete pPython;
        return nullptr;
    }
    return pPython;
}

ZPython::~ZPython()
{
    if (Py_IsInitialized())
        Py_FinalizeEx();
    // The function objects that pointed at the records went with the interpreter.
    for (FunctionRecord* pRecord : m_Functions)
        delete pRecord;
    m_Functions.Clear();
}

void ZPython::Destroy(int nFlags)
{
    if (nFlags & 1) {
        delete this;
        return;
    }
    if (Py_IsInitialized())
        Py_FinalizeEx();
    for (FunctionRecord* pRecord : m_Functions)
        delete pRecord;
    m_Functions.Clear();
}

bool ZPython::RunFile(const char* szPath)
{
    if (!szPath)
        return false;
    ZWideText widePath(szPath);
    DWORD nAttributes = GetFileAttributesW(widePath.c_str());
    if (nAttributes == INVALID_FILE_ATTRIBUTES || (nAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    ZMemoryBuffer file;
    size_t nSize = ReadFileToBuffer(szPath, &file);
    if (nSize == 0 && GetFileAttributesW(widePath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;

    // Scripts written on Windows end their lines with CR LF; the compiler wants bare LF.
    char* pText = static_cast<char*>(malloc(nSize + 1));
    size_t nLength = 0;
    const unsigned char* pData = file.GetData();
    for (size_t i = 0; i < nSize; ++i)
        if (pData[i] != '\r')
            pText[nLength++] = static_cast<char>(pData[i]);
    pText[nLength] = 0;

    PyObject* pCode = Py_CompileStringFlags(pText, szPath, Py_file_input, nullptr);
    if (!PyErr_Occurred() && pCode) {
        m_pCode = pCode;
        PyObject* pModule = PyImport_ExecCodeModule(kModuleName, pCode);
        m_pCode = nullptr;
        Py_XDECREF(pModule);
    }
    Py_XDECREF(pCode);
    if (PyErr_Occurred())
        PrintException();
    free(pText);
    return true;
}

bool ZPython::CallFunction(const char* szName)
{
    PyErr_Clear();
    bool bResult = false;
    // Only the module a script made: looking it up must not import a stray "ZPython.py" from the
    // search path, and before any script has run there is simply no such function.
    PyObject* pModuleName = PyUnicode_FromString(kModuleName);
    PyObject* pModule = pModuleName ? PyImport_GetModule(pModuleName) : nullptr;
    Py_XDECREF(pModuleName);
    if (pModule && szName) {
        PyObject* pFunction = PyDict_GetItemString(PyModule_GetDict(pModule), szName);  // borrowed
        if (pFunction && PyCallable_Check(pFunction)) {
            PyObject* pResult = PyObject_CallObject(pFunction, nullptr);
            Py_XDECREF(pResult);
            bResult = true;
        }
    }
    Py_XDECREF(pModule);
    if (PyErr_Occurred())
        PrintException();
    PyErr_Clear();
    return bResult;
}

void* ZPython::AddModule(const char* szName)
{
    return PyImport_AddModule(szName);
}

bool ZPython::AddFunction(void* pModule, const void* pDescription, void* pHelper)
{
    const ZPythonFunction* pFunction = static_cast<const ZPythonFunction*>(pDescription);
    PyObject* pDict = pModule ? PyModule_GetDict(static_cast<PyObject*>(pModule)) : nullptr;
    if (!pFunction || !pFunction->m_szName || !pHelper || !pDict)
        return false;

    FunctionRecord* pRecord = new FunctionRecord();
    pRecord->m_sName.Assign(pFunction->m_szName);
    pRecord->m_Method = {pRecord->m_sName.GetData(), GenericWrapper, METH_VARARGS, nullptr};
    pRecord->m_pfnHelper = reinterpret_cast<ZPythonHelper>(pHelper);
    pRecord->m_pData = pFunction->m_pData;
    m_Functions.PushBack(pRecord);

    PyObject* pSelf = PyLong_FromVoidPtr(pRecord);
    PyObject* pModuleName = PyUnicode_FromString(PyModule_GetName(static_cast<PyObject*>(pModule)));
    PyObject* pObject = (pSelf && pModuleName) ? PyCFunction_NewEx(&pRecord->m_Method, pSelf, pModuleName) : nullptr;
    bool bResult = pObject && PyDict_SetItemString(pDict, pFunction->m_szName, pObject) == 0;
    Py_XDECREF(pObject);
    Py_XDECREF(pModuleName);
    Py_XDECREF(pSelf);
    PyErr_Clear();
    if (bResult)
        LogFormat(ZLOG_PRINT, "Added function. Helper 0x%p. Wrapper 0x%p", pHelper,
                  reinterpret_cast<void*>(&GenericWrapper));
    return bResult;
}

bool ZPython::ParseArgs(void* pArgs, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    int nResult = PyArg_VaParse(static_cast<PyObject*>(pArgs), szFormat, args);
    va_end(args);
    return nResult != 0;
}

void ZPython::PrintException()
{
    PyObject *pType = nullptr, *pValue = nullptr, *pTraceback = nullptr;
    PyErr_Fetch(&pType, &pValue, &pTraceback);
    PyErr_NormalizeException(&pType, &pValue, &pTraceback);

    if (pType) {
        std::string typeText;
        ObjectText(pType, typeText);
        LogFormat(ZLOG_ERROR, "Python Exception:%s", typeText.c_str());
    }

    std::string location;
    if (pTraceback) {
        struct Entry
        {
            std::string file;
            int nLine;
        };
        std::vector<Entry> entries;  // outermost first, as the chain runs
        PyObject* pEntry = pTraceback;
        Py_INCREF(pEntry);
        while (pEntry && pEntry != Py_None) {
            Entry entry{std::string(), 0};
            if (TracebackEntry(pEntry, entry.file, entry.nLine))
                entries.push_back(entry);
            PyObject* pNext = PyObject_GetAttrString(pEntry, "tb_next");
            Py_DECREF(pEntry);
            pEntry = pNext;
        }
        Py_XDECREF(pEntry);
        PyErr_Clear();
        LogLine(ZLOG_ERROR, "Call stack:");
        for (size_t i = entries.size(); i-- > 0;)
            LogFormat(ZLOG_ERROR, "   %s(%d)", entries[i].file.c_str(), entries[i].nLine);
        ZStringBuffer<256> text;
        if (entries.empty())
            text.Format("\n%s(%d)", "[unknown]", 0);
        else
            text.Format("\n%s(%d)", entries.back().file.c_str(), entries.back().nLine);
        location = text.GetData();
    }

    std::string valueText;
    bool bHasText = ObjectText(pValue, valueText);
    Py_XDECREF(pType);
    Py_XDECREF(pValue);
    Py_XDECREF(pTraceback);
    if (!bHasText)
        return;
    std::string message = valueText + " : " + location;
    LogLine(ZLOG_ERROR, message.c_str());
    if (ZSelfDebug::IsDebuggerPresent())
        return;
    ZMessageBoxW("Python error", message.c_str());
    exit(1);
}

// ---------------------------------------------------------------------------------------------

IPython* CreatePython(ZIvL* pApplication)
{
    if (IPython* pHeld = globvals::GetPython())
        return pHeld;
    ZPython* pPython = ZPython::Create(pApplication);
    globvals::SetPython(pPython);
    return pPython;
}

void DestroyPython()
{
    if (IPython* pHeld = globvals::GetPython()) {
        pHeld->Destroy(1);
        globvals::SetPython(nullptr);
    }
}
