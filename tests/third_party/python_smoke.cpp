// The cross-built interpreter: starts from python311.zip beside the program, runs standard
// library modules (pure Python from the zip and the C modules built into the DLL), calls a C
// function with a bound self and finalises cleanly.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <string>

namespace
{
std::wstring ZipBesideProgram()
{
    wchar_t szPath[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    std::wstring path(szPath, n);
    return path.substr(0, path.rfind(L'\\') + 1) + L"python311.zip";
}

// Runs the code in __main__ and returns str() of its variable "result" ("<error>" on an exception).
std::string Evaluate(const char* szCode)
{
    PyObject* pMain = PyImport_AddModule("__main__");
    PyObject* pGlobals = PyModule_GetDict(pMain);
    PyObject* pRun = PyRun_String(szCode, Py_file_input, pGlobals, pGlobals);
    if (!pRun) {
        PyErr_Print();
        return "<error>";
    }
    Py_DECREF(pRun);
    PyObject* pResult = PyDict_GetItemString(pGlobals, "result");
    PyObject* pText = pResult ? PyObject_Str(pResult) : nullptr;
    std::string text = pText ? PyUnicode_AsUTF8(pText) : "<none>";
    Py_XDECREF(pText);
    return text;
}

PyObject* BoundSelf(PyObject* pSelf, PyObject* pArgs)
{
    int a = 0, b = 0;
    if (!PyArg_ParseTuple(pArgs, "ii", &a, &b))
        return nullptr;
    return Py_BuildValue("(Oi)", pSelf, a + b);
}
PyMethodDef s_BoundSelf = {"bound", BoundSelf, METH_VARARGS, nullptr};
}  // namespace

class PythonEmbedTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        PyConfig config;
        PyConfig_InitIsolatedConfig(&config);
        config.site_import = 0;
        config.module_search_paths_set = 1;
        PyWideStringList_Append(&config.module_search_paths, ZipBesideProgram().c_str());
        PyStatus status = Py_InitializeFromConfig(&config);
        PyConfig_Clear(&config);
        ASSERT_FALSE(PyStatus_Exception(status)) << (status.err_msg ? status.err_msg : "");
    }
    static void TearDownTestSuite() { EXPECT_EQ(0, Py_FinalizeEx()); }
};

TEST_F(PythonEmbedTest, RunsStandardLibraryModules)
{
    struct Case
    {
        const char* szCode;
        const char* szExpected;
    } cases[] = {
        {"import sys\nresult = sys.version_info[:2]", "(3, 11)"},
        {"import encodings, sys\nresult = encodings.__file__.startswith(sys.path[0])", "True"},
        {"import json\nresult = json.dumps({'a': [1, 2.5, None]})", "{\"a\": [1, 2.5, null]}"},
        {"import re\nresult = re.sub(r'\\d', '#', 'a1b22')", "a#b##"},
        {"import zlib\nresult = zlib.decompress(zlib.compress(b'x' * 100)) == b'x' * 100", "True"},
        {"import decimal\nresult = decimal.Decimal('1.1') + decimal.Decimal('2.2')", "3.3"},
        {"import hashlib\nresult = hashlib.sha256(b'abc').hexdigest()[:16]", "ba7816bf8f01cfea"},
        {"import struct\nresult = struct.pack('<I', 258).hex()", "02010000"},
        {"import datetime\nresult = datetime.date(2020, 1, 2).isoformat()", "2020-01-02"},
        {"import unicodedata\nresult = unicodedata.name('\\u00e9')", "LATIN SMALL LETTER E WITH ACUTE"},
        {"import xml.etree.ElementTree as E\nresult = E.fromstring('<a><b x=\"1\"/></a>')[0].get('x')", "1"},
        {"import threading\nbox = []\nt = threading.Thread(target=lambda: box.append(7))\nt.start(); t.join()\n"
         "result = box",
         "[7]"},
        {"import traceback\ntry:\n    1 / 0\nexcept ZeroDivisionError as e:\n"
         "    result = traceback.format_exception(e)[-1].strip()",
         "ZeroDivisionError: division by zero"},
        {"import time\nresult = time.time() > 1.6e9 and time.localtime().tm_year > 2000", "True"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.szExpected, Evaluate(c.szCode)) << c.szCode;
}

TEST_F(PythonEmbedTest, CallsAFunctionWithABoundSelf)
{
    PyObject* pSelf = PyUnicode_FromString("bound-self");
    PyObject* pFunction = PyCFunction_NewEx(&s_BoundSelf, pSelf, nullptr);
    ASSERT_NE(nullptr, pFunction);
    PyObject* pMain = PyModule_GetDict(PyImport_AddModule("__main__"));
    ASSERT_EQ(0, PyDict_SetItemString(pMain, "bound", pFunction));
    EXPECT_EQ("('bound-self', 42)", Evaluate("result = bound(40, 2)"));
    EXPECT_EQ("<error>", Evaluate("result = bound('x', 2)"));
    Py_DECREF(pFunction);
    Py_DECREF(pSelf);
}
