#include "common/system/library.h"
#include "common/system/file.h"
#include "common/system/process.h"
#include <cstring>

void Library::Module::Close()
{
    if (m_hModule != nullptr)
        FreeLibrary(m_hModule);
}

Library Library::Load(const char* szBaseName)
{
    ZStringBuffer<256> name(szBaseName != nullptr ? szBaseName : "");
    name.Append(".dll");
    HMODULE hModule = LoadLibraryA(name.GetData());
    Library library;
    if (hModule != nullptr)
        library.m_Record.Create(Module{hModule});
    return library;
}

void* Library::GetSymbol(const char* szName) const
{
    if (!m_Record)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(m_Record->m_hModule, szName));
}

ZStringBuffer<256> Library::GetFileName() const
{
    if (!m_Record)
        return ZStringBuffer<256>();
    char szPath[260];
    DWORD n = GetModuleFileNameA(m_Record->m_hModule, szPath, sizeof(szPath));
    szPath[n < sizeof(szPath) ? n : sizeof(szPath) - 1] = 0;
    return ZStringBuffer<256>(szPath);
}

ZStringBuffer<256> Library::GetLastErrorText()
{
    DWORD nError = GetLastError();
    char szText[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, nError, 0, szText,
                             sizeof(szText), nullptr);
    if (n == 0)
        return ZStringBuffer<256>("Error code %d", static_cast<int>(nError));
    szText[n < sizeof(szText) ? n : sizeof(szText) - 1] = 0;
    return ZStringBuffer<256>(szText);
}

ZStringBuffer<256> Library::GetLibraryDirectory()
{
    ZStringBuffer<256> path = Process::Current().GetModuleFileName();
    return File::GetDirectory(path.GetData());
}
