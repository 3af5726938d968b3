// Stands in for the engine globals library globals.dll: the options store, the settings-file
// reader (format in launch/ivl/globvals.h), root paths, the locale, and the holders of the
// small-files catalog, the Python host, the log-file function and the crash-close hook. It
// records what it is given in "globals.log" beside itself. Root paths: the graphics root is the
// program's folder, the resource root its "_packed" folder (where the downloader keeps "bank5").
#include "launch/ivl/globvals.h"
#include "standins/standinlog.h"
#include <vector>

namespace
{
const char* const kLog = "globals.log";

class OptionSet : public ZOptionSet
{
public:
    int GLOBALS_CALL GetCount() override { return static_cast<int>(m_Options.size()); }
    ZOption* GLOBALS_CALL GetAt(int nIndex) override
    {
        return nIndex >= 0 && nIndex < GetCount() ? m_Options[nIndex] : nullptr;
    }
    ZOption* GLOBALS_CALL Find(const char* szName) override
    {
        if (!szName)
            return nullptr;
        for (ZOption* pOption : m_Options)
            if (_stricmp(pOption->m_sName.c_str(), szName) == 0)
                return pOption;
        return nullptr;
    }
    ZOption* GLOBALS_CALL Add(const char* szName) override
    {
        ZOption* pOption = new ZOption();
        pOption->m_nType = ZOPTION_STRING;
        pOption->m_nValue = 0;
        pOption->m_sName.Assign(szName ? szName : "");
        m_Options.push_back(pOption);
        return pOption;
    }
    void GLOBALS_CALL SetString(ZOption* pOption, const ZStringBase& s) override
    {
        if (!pOption)
            return;
        pOption->m_nType = ZOPTION_STRING;
        pOption->m_nValue = 0;
        pOption->m_sValue.Assign(s.c_str());
    }

private:
    std::vector<ZOption*> m_Options;
};

OptionSet& Options()
{
    static OptionSet* s_pOptions = new OptionSet();  // lives to the end of the process
    return *s_pOptions;
}

std::string Trim(const std::string& s)
{
    size_t nBegin = s.find_first_not_of(" \t");
    if (nBegin == std::string::npos)
        return std::string();
    size_t nEnd = s.find_last_not_of(" \t");
    return s.substr(nBegin, nEnd - nBegin + 1);
}

bool IsInteger(const std::string& s)
{
    size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i >= s.size() || s.size() - i > 9)
        return false;
    return s.find_first_not_of("0123456789", i) == std::string::npos;
}

bool IsFloat(const std::string& s)
{
    if (s.find_first_of(".eE") == std::string::npos)
        return false;
    char* pEnd = nullptr;
    strtod(s.c_str(), &pEnd);
    return pEnd && *pEnd == 0;
}

// One whole line however long, without its LF; false at the end of the file. A line cut at a
// buffer's size would turn its rest into a setting of its own.
bool ReadLine(FILE* pFile, std::string& line)
{
    line.clear();
    int c;
    while ((c = getc(pFile)) != EOF) {
        if (c == '\n')
            return true;
        line.push_back(static_cast<char>(c));
    }
    return !line.empty();
}

// Calls pfnSetting(name, value, quoted) for each setting of the file; false when unreadable.
template <typename F>
bool ReadSettings(const char* szPath, F pfnSetting)
{
    FILE* pFile = szPath ? fopen(szPath, "rb") : nullptr;
    if (!pFile)
        return false;
    std::string sSection;
    std::string line;
    while (ReadLine(pFile, line)) {
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= 3 && (unsigned char)line[0] == 0xEF && (unsigned char)line[1] == 0xBB &&
            (unsigned char)line[2] == 0xBF)
            line.erase(0, 3);
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            size_t nClose = line.find(']');
            sSection = Trim(line.substr(1, nClose == std::string::npos ? std::string::npos : nClose - 1));
            continue;
        }
        size_t nEqual = line.find('=');
        if (nEqual == std::string::npos)
            continue;
        std::string sName = Trim(line.substr(0, nEqual));
        std::string sValue = Trim(line.substr(nEqual + 1));
        bool bQuoted = sValue.size() >= 2 && sValue.front() == '"' && sValue.back() == '"';
        if (bQuoted)
            sValue = sValue.substr(1, sValue.size() - 2);
        if (sName.empty())
            continue;
        pfnSetting(sSection.empty() ? sName : sSection + "." + sName, sValue, bQuoted);
    }
    fclose(pFile);
    return true;
}

class Locale : public ZLocale
{
public:
    const char* GLOBALS_CALL GetFileName() override { return m_sFile.c_str(); }
    int GLOBALS_CALL GetCount() override { return static_cast<int>(m_Texts.size()); }
    const char* GLOBALS_CALL GetText(const char* szKey) override
    {
        for (const auto& text : m_Texts)
            if (text.first == szKey)
                return text.second.c_str();
        return szKey;
    }
    void GLOBALS_CALL Clear() override { m_Texts.clear(); }
    bool GLOBALS_CALL Load(const char* szPath) override
    {
        StandinLog(kLog, "Locale.Load %s", szPath ? szPath : "(null)");
        m_sFile = szPath ? szPath : "";
        return ReadSettings(szPath, [this](const std::string& sKey, const std::string& sText, bool) {
            m_Texts.emplace_back(sKey, sText);
        });
    }

private:
    std::string m_sFile;
    std::vector<std::pair<std::string, std::string>> m_Texts;
};

ZStringBuffer<512, 0>& ProgramFolderPlus(ZStringBuffer<512, 0>& out, const char* szSuffix)
{
    std::string path = StandinModuleFolder<char>(NULL) + szSuffix;
    if (path.size() < 500)
        out.Assign(path.c_str());
    return out;
}

ZFileCatalog* s_pCatalog;
IPython* s_pPython;
ZLogFileNameFunc s_pfnLogFile;
ZCrashCloseFunc s_pfnCrashClose;
void* s_pCrashCloseContext;
}  // namespace

ZOptionSet* ZOptionSet::GetOptions()
{
    return &Options();
}

bool IniFile::Read(const char* szPath)
{
    StandinLog(kLog, "IniFile::Read %s", szPath ? szPath : "(null)");
    return ReadSettings(szPath, [](const std::string& sName, const std::string& sValue, bool bQuoted) {
        ZOption* pOption = ZOptions::FindOrAdd(sName.c_str());
        Options().SetString(pOption, ZStringBuffer<64>(sValue.c_str()));
        if (bQuoted || sValue.empty())
            return;
        if (_stricmp(sValue.c_str(), "true") == 0 || _stricmp(sValue.c_str(), "false") == 0) {
            pOption->m_nType = ZOPTION_BOOL;
            pOption->m_bValue = _stricmp(sValue.c_str(), "true") == 0;
        } else if (IsInteger(sValue)) {
            pOption->m_nType = ZOPTION_INT;
            pOption->m_nValue = atoi(sValue.c_str());
        } else if (IsFloat(sValue)) {
            pOption->m_nType = ZOPTION_FLOAT;
            pOption->m_fValue = static_cast<float>(atof(sValue.c_str()));
        }
    });
}

ZLocale* GetLocale()
{
    static Locale* s_pLocale = new Locale();
    return s_pLocale;
}

namespace globvals
{
const ZStringBuffer<512, 0>& GetRootGfxPath()
{
    static ZStringBuffer<512, 0> s_Path;
    return s_Path.IsEmpty() ? ProgramFolderPlus(s_Path, "") : s_Path;
}

const ZStringBuffer<512, 0>& GetRootResourcePath()
{
    static ZStringBuffer<512, 0> s_Path;
    return s_Path.IsEmpty() ? ProgramFolderPlus(s_Path, "_packed\\") : s_Path;
}

ZFileCatalog* GetSmallFilesCatalog()
{
    return s_pCatalog;
}

void SetSmallFilesCatalog(ZFileCatalog* pCatalog)
{
    StandinLog(kLog, "SetSmallFilesCatalog %s", pCatalog ? "set" : "null");
    s_pCatalog = pCatalog;
}

IPython* GetPython()
{
    return s_pPython;
}

void SetPython(IPython* pPython)
{
    StandinLog(kLog, "SetPython %s", pPython ? "set" : "null");
    s_pPython = pPython;
}

void SetLogFileFunc(ZLogFileNameFunc pfnFunc)
{
    s_pfnLogFile = pfnFunc;
    char szName[512] = "";
    GetLogFileName(szName, sizeof(szName));
    StandinLog(kLog, "SetLogFileFunc %s %s", pfnFunc ? "set" : "null", szName);
}

void GetLogFileName(char* szBuffer, int nSize)
{
    if (!szBuffer || nSize < 1)
        return;
    szBuffer[0] = 0;
    if (s_pfnLogFile)
        s_pfnLogFile(szBuffer, nSize);
    szBuffer[nSize - 1] = 0;
}

void SetCrashClose(ZCrashCloseFunc pfnFunc, void* pContext)
{
    StandinLog(kLog, "SetCrashClose %s", pfnFunc ? "set" : "null");
    s_pfnCrashClose = pfnFunc;
    s_pCrashCloseContext = pContext;
}

ZCrashCloseFunc GetCrashClose(void** ppContext)
{
    if (ppContext)
        *ppContext = s_pCrashCloseContext;
    return s_pfnCrashClose;
}

const char* GetUsername()
{
    static char s_szName[100];
    if (!s_szName[0]) {
        DWORD n = GetEnvironmentVariableA("USERNAME", s_szName, sizeof(s_szName));
        if (n == 0 || n >= sizeof(s_szName))
            strcpy(s_szName, "unknown");
    }
    return s_szName;
}

// The scene the start-up chose ("scenefile"), as far as the store holds one.
const char* GetCurrentScene()
{
    ZOption* pOption = Options().Find("scenefile");
    return pOption ? pOption->m_sValue.c_str() : "";
}
}  // namespace globvals
