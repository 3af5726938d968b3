// Install folder of an installed copy of the game, as the game's installer recorded it in the
// registry (HKEY_LOCAL_MACHINE, read only).
#pragma once
#include "common/containers/zstringbuffer.h"

// "Software\Vost-Parn\Ironvale" for "live" (any case) or empty, else with " " and the version.
void GetInstallRegistryKey(const char* szVersion, ZStringBase& keyName);
// The key's default value with a trailing '\' and then szSub (when not null); false, with
// path unchanged, when the key or its value cannot be read.
bool GetInstallDirFromRegistry(const char* szSub, const char* szVersion, ZStringBase& path);
