// The image repacker texforge.dll: "GetInterface"() returns a RepackerInterface. The sync
// program's downloader uses slots 1, 4 and 5, the launcher's pack step slots 0, 2, 3 and 5.
// Shared by both callers and the texforge.dll stand-in.
#pragma once
#include <stdint.h>

#define TEXFORGE_CALL __stdcall

class ZStringArray;
class ZFileCatalog;

// Log callback given to slot 1; the fourth argument is the text of one line.
typedef void(__cdecl* TexforgeLogFunc)(int nArg0, int nArg1, int nArg2, const char* szText);
// Called once per pack path handed to slot 4, with the same path text, during the call or later
// from another thread.
typedef void(__cdecl* RepackCallback)(const char* szPackPath, bool bResult, void* pContext);

// One image-pack type: its four-character code and whether packs of it are repacked.
struct TexforgeTypeEntry
{
    uint32_t m_nCode;
    uint8_t m_bRepack;
};

struct TexforgeTypeList
{
    int32_t m_nCount;
    TexforgeTypeEntry* m_pEntries;
};

class RepackerInterface
{
public:
    virtual TexforgeTypeList* TEXFORGE_CALL GetImageTypes() = 0;  // 0
    virtual bool TEXFORGE_CALL Initialise(const char* szStagingFolder, TexforgeLogFunc pfnLog, int nZero,
                                          ZFileCatalog* pCatalog) = 0;                          // 1
    virtual bool TEXFORGE_CALL SetUp(const char* szResourcesPath, int nZero1, int nZero2) = 0;  // 2
    // The launcher's repack of a pack result's packed-file list.
    virtual bool TEXFORGE_CALL RepackFiles(const ZStringArray* pFiles, bool bAll, int nZero1, int nZero2,
                                           const char* szOperation) = 0;  // 3
    // The downloader's repack of whole packs (paths with '\' separators).
    virtual void TEXFORGE_CALL Repack(const ZStringArray* pPacks, RepackCallback pfnCallback, void* pContext,
                                      const char* szOperation) = 0;  // 4
    virtual void TEXFORGE_CALL Release() = 0;                        // 5

protected:
    ~RepackerInterface() = default;
};

typedef RepackerInterface*(__cdecl* TexforgeGetInterfaceFunc)();
