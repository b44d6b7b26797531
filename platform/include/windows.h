// The master include file of Win32 applications on the simulated machine.
#pragma once

#include <stdarg.h>
#include <string.h>

#include <winsim/base.h>
#include <winsim/interlocked.h>
#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winnls.h>
#include <winreg.h>
#include <winuser.h>
