// The USB device interface classes, as in the Windows header of the same name.
#pragma once

#include <winsim/base.h>
#include <guiddef.h>

// Registered by the USB hub for every device it reports, enabled while the device's stack runs.
DEFINE_GUID(GUID_DEVINTERFACE_USB_DEVICE, 0xA5DCBF10L, 0x6530, 0x11D2, 0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9,
            0x51, 0xED);
