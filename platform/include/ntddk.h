// Kernel-mode driver interfaces: wdm.h plus the few additions of ntddk.h.
#pragma once

#include <wdm.h>
