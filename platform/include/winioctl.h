// Device types and I/O control codes for Win32 programs that talk to devices, as in the Windows
// header of the same name.
#pragma once

#include <winsim/base.h>
#include <winsim/devioctl.h>
