// Included before the headers that declare GUIDs, in the one unit that should define them.
#pragma once

#include <guiddef.h>

#define INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                 \
    WINSIM_GUID_EXTERN const GUID name __attribute__((weak, visibility("hidden"))) = {                \
        l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
