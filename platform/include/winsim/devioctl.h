// Device types and the layout of I/O control codes, shared by kernel-mode and user-mode code as in
// the Windows header devioctl.h (which both wdm.h and winioctl.h take them from).
#pragma once

#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_SERIAL_PORT  0x0000001b
#define FILE_DEVICE_UNKNOWN      0x00000022

#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3

#define FILE_ANY_ACCESS     0
#define FILE_SPECIAL_ACCESS (FILE_ANY_ACCESS)
#define FILE_READ_ACCESS    0x0001
#define FILE_WRITE_ACCESS   0x0002

#define CTL_CODE(DeviceType, Function, Method, Access)                                                       \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode & 0xffff0000)) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode)      ((ULONG)(ctrlCode & 3))
