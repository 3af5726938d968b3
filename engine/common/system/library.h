// Handle to a dynamically loaded DLL; the last handle unloads it.
#pragma once
#include <cstdint>
#include "common/system/zwin.h"
#include "common/containers/zstringbuffer.h"

class Library
{
public:
    Library() : m_pRecord(nullptr) {}
    Library(const Library& other);
    Library& operator=(const Library& other);
    ~Library() { Release(); }

    // Loads szBaseName + ".dll" (normal search order; a path is allowed). Empty on failure:
    // call GetLastErrorText at once for the reason.
    static Library Load(const char* szBaseName);
    bool IsLoaded() const { return m_pRecord != nullptr; }
    // Null for an empty handle or a missing export.
    void* GetSymbol(const char* szName) const;
    ZStringBuffer<256> GetFileName() const;

    // The system's text for GetLastError, or "Error code %d".
    static ZStringBuffer<256> GetLastErrorText();
    // Folder of the running program, ending with '\'.
    static ZStringBuffer<256> GetLibraryDirectory();

private:
    struct Record
    {
        uint32_t m_nRefs;  // not atomic: owners copy and release handles under their own lock
        HMODULE m_hModule;
    };
    void Release();

    Record* m_pRecord;
};
