// Handle to a dynamically loaded DLL; the last handle unloads it.
#pragma once
#include <cstdint>
#include "common/system/zwin.h"
#include "common/containers/zstringbuffer.h"
#include "common/system/zsharedrecord.h"

class Library
{
public:
    Library() {}

    // Loads szBaseName + ".dll" (normal search order; a path is allowed). Empty on failure:
    // call GetLastErrorText at once for the reason.
    static Library Load(const char* szBaseName);
    bool IsLoaded() const { return (bool)m_Record; }
    // Null for an empty handle or a missing export.
    void* GetSymbol(const char* szName) const;
    ZStringBuffer<256> GetFileName() const;

    // The system's text for GetLastError, or "Error code %d".
    static ZStringBuffer<256> GetLastErrorText();
    // Folder of the running program, ending with '\'.
    static ZStringBuffer<256> GetLibraryDirectory();

private:
    struct Module
    {
        HMODULE m_hModule;
        void Close();
    };

    // Not atomic: owners copy and release handles under their own lock.
    ZSharedRecord<Module, ZPlainUseCount> m_Record;
};
