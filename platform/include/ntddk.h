// Kernel-mode driver interfaces: wdm.h plus the few additions of ntddk.h.
#pragma once

#include <wdm.h>

WINSIM_EXTERN_C_BEGIN

typedef struct _KEY_NAME_INFORMATION
{
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

WINSIM_EXTERN_C_END
