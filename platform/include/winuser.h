// user32 as far as the simulated machine implements it.
#pragma once

#include <winsim/base.h>
#include <windef.h>

WINSIM_EXTERN_C_BEGIN

// Registered window messages: the same name (compared without regard to case) gives the same
// number, in the range 0xC000 through 0xFFFF, in every process of the machine.
WINSIM_API UINT WINAPI RegisterWindowMessageA(LPCSTR lpString);

WINSIM_EXTERN_C_END
