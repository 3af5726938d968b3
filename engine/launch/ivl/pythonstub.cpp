// Call points of the Python host while this build has no interpreter: no host is made, so the
// start script is found and "startup.log" set up, but nothing runs it. The host's own source
// takes the place of this file.
#include "launch/ivl/ipython.h"
#include "launch/ivl/globvals.h"

IPython* CreatePython(ZIvL*)
{
    return globvals::GetPython();
}

void DestroyPython()
{
    if (IPython* pPython = globvals::GetPython()) {
        pPython->Destroy(1);
        globvals::SetPython(nullptr);
    }
}
