#include "common/system/library.h"
#include "common/system/file.h"
#include "common/system/process.h"
#include <cstring>

Library::Library(const Library& other) : m_pRecord(other.m_pRecord)
{
    if (m_pRecord != nullptr)
        ++m_pRecord->m_nRefs;
}

Library& Library::operator=(const Library& other)
{
    if (other.m_pRecord != nullptr)
        ++other.m_pRecord->m_nRefs;
    Release();
    m_pRecord = other.m_pRecord;
    return *this;
}

void Library::Release()
{
    Record* pRecord = m_pRecord;
    m_pRecord = nullptr;
    if (pRecord == nullptr || --pRecord->m_nRefs != 0)
        return;
    if (pRecord->m_hModule != nullptr)
        FreeLibrary(pRecord->m_hModule);
    delete pRecord;
}

Library Library::Load(const char* szBaseName)
{
    ZStringBuffer<256> name(szBaseName != nullptr ? szBaseName : "");
    name.Append(".dll");
    HMODULE hModule = LoadLibraryA(name.GetData());
    Library library;
    if (hModule != nullptr)
        library.m_pRecord = new Record{1, hModule};
    return library;
}

void* Library::GetSymbol(const char* szName) const
{
    if (m_pRecord == nullptr)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(m_pRecord->m_hModule, szName));
}

ZStringBuffer<256> Library::GetFileName() const
{
    if (m_pRecord == nullptr)
        return ZStringBuffer<256>();
    char szPath[260];
    DWORD n = GetModuleFileNameA(m_pRecord->m_hModule, szPath, sizeof(szPath));
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
