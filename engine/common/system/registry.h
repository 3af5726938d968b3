// Read-only access to the registry for the install-folder lookup, shared by the sync program and
// the browser plug-in.
#pragma once
#include "common/containers/zstringbuffer.h"

class ZRegistry
{
public:
    // Most bytes of a value that can be read (1024 UTF-16 units).
    enum
    {
        VALUE_BYTES = 2048
    };
    // Which call failed.
    enum Result
    {
        READ_OK,
        OPEN_FAILED,
        QUERY_FAILED
    };

    // The default (unnamed) value of HKEY_LOCAL_MACHINE\szKey (UTF-8 name, opened with KEY_READ),
    // read as UTF-16 text of at most VALUE_BYTES bytes, as UTF-8 in value. On failure value is
    // unchanged and *pnCode (when not null) holds the failing call's code.
    static Result ReadMachineDefault(const char* szKey, ZStringBase& value, long* pnCode);
};
