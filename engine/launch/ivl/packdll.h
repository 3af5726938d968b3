// The scene packer pack.dll: "Pack"(0, scene, resources path, graphics path) packs a scene and
// returns its result (null on failure). Shared by the launcher and the pack.dll stand-in.
#pragma once
#include <stdint.h>
#include "common/containers/zstringarray.h"

struct PackResult
{
    uint8_t m_bSuccess;
    ZStringArray m_Files;  // the packed-file list handed to the repacker
};

typedef PackResult*(__cdecl* PackFunc)(int nZero, const char* szScene, const char* szResourcesPath,
                                       const char* szGfxPath);
