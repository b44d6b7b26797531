// The WMI client of user mode (wbemprox and the Win32_PnPEntity provider it stands for).
#pragma once

#include <wbemidl.h>

namespace winsim::user
{

// A new locator (CLSID_WbemLocator), queried for riid; E_NOINTERFACE for an interface it lacks.
HRESULT CreateWbemLocator(REFIID riid, void** object);

} // namespace winsim::user
