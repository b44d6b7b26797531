// The property page providers setupapi loaded for a device information set (proppages.cpp).
#pragma once

#include <setupapi.h>

namespace winsim::user
{

// Unloads the provider modules SetupDiGetClassDevPropertySheetsA loaded for a set: its pages may
// call into them until the set is destroyed, so SetupDiDestroyDeviceInfoList calls this.
void ReleasePropertyPageProviders(HDEVINFO set);

} // namespace winsim::user
