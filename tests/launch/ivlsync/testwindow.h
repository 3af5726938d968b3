// The sync program's window base without a dialog, for tests of the servers: status lines and
// window messages go nowhere; log lines go to the file that s_sLogFile names.
#pragma once
#include "launch/ivlsync/ivlsyncwindowbase.h"

class TestWindow : public ZIvlSync
{
public:
    TestWindow() : ZIvlSync(nullptr, false) {}
};
