// Ostrix_x64.dll: client library of the TARNOCOM card reader ports.
//
// Applications load the library into their process. It reads "Ostrix.ini" from the folder of the
// application's executable:
//
//   [Log]
//   Logging=-1            ; 0: information and errors to the log file, 1: errors only to the file,
//                         ; 2: information and errors to the debugger output, 3: errors only there;
//                         ; any other value: no log
//   LogFileName=.\Ostrix.log   ; relative to the current directory; empty: no log at all
//   [Wmi]
//   PollingInterval=100   ; milliseconds between two polls of a WMI-watched port
#pragma once

#include <windows.h>

// Line events, also the bits of an event mask.
#define EVT_USB_OFFLINE 1 // the port disappeared
#define EVT_USB_ONLINE  2 // the port appeared

// Callback for line events: port number (the number after "COM"), event code, and the
// application's own value passed back unchanged. The result is only logged.
typedef SHORT CALLBACK USBCOMEventProc(LONG lPortNo, LONG lEvent, LONG_PTR pParam);
