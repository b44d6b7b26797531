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
//
// Line events: an application registers a callback for one COM port of the reader and pumps window
// messages on the thread that loaded the library; callbacks run on that thread, from its message
// loop. A callback may call the library's registration functions (for its own port too); once a
// call that releases a port's callback (NULL) has returned, that callback is not called again.
#pragma once

#include <windows.h>
#include <oleauto.h>

// Line events, also the bits of an event mask.
#define EVT_USB_OFFLINE 1 // the port disappeared
#define EVT_USB_ONLINE  2 // the port appeared

// Callback for line events: port number (the number after "COM"), event code, and the
// application's own value passed back unchanged. The result is only logged.
typedef SHORT CALLBACK USBCOMEventProc(LONG lPortNo, LONG lEvent, LONG_PTR pParam);

// Result codes of the registration functions.
#define OSTRIX_OK             0   // done
#define OSTRIX_ERR_STATE      1   // presence test failed, wrong thread, or polling did not start
#define OSTRIX_ERR_PARAMETER  100 // a parameter is wrong
#define OSTRIX_ERR_EXISTS     101 // rwInitializeEvent: the port's notification object exists
#define OSTRIX_ERR_OTHER_MODE 140 // the other mechanism holds a callback for the port

#ifdef __cplusplus
extern "C"
{
#endif

    // The COM names of the reader's installed ports for a USB product ID ("0730"), joined with ",",
    // and whether each is present now ("1"/"0", joined with ","). Each list is a BSTR holding the
    // narrow characters one byte each (SysStringByteLen is its length), NULL when empty; the caller
    // frees them with SysFreeString (strings passed in are freed first). Returns 1, or 0 on failure
    // (the reason is in the log).
    LONG WINAPI rwGetUSBPortNames(LPCSTR ProductID, BSTR* bpPortNames, BSTR* bpPortOnLine,
                                  SHORT* piNumOfPort);

    // Registers (or, with a NULL callback, releases) the line-event callback of a port ("COM3") for
    // the events of the mask lEvent (EVT_USB_OFFLINE | EVT_USB_ONLINE), told by the system's
    // device-change broadcasts. *iUSBONLineStatus receives 1 when the port is present now. The first
    // registration of a port must come from the thread that loaded the library (or rwInitializeEvent
    // must have run there).
    SHORT WINAPI rwSetUSBCOMLineEventProc(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc,
                                          LONG_PTR pParam, LONG lEvent, SHORT* iUSBONLineStatus);

    // Creates the port's notification object ahead of time, on the thread that loaded the library.
    SHORT WINAPI rwInitializeEvent(LPCSTR strPortNo);

    // Like rwSetUSBCOMLineEventProc, told by polling WMI's list of Plug and Play devices at the
    // interval the settings file gives.
    SHORT WINAPI rwSetUSBCOMWMILineEventProc(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc,
                                             LONG_PTR pParam, LONG lEvent, SHORT* iUSBONLineStatus);

    // Support: collects the driver's trace log into "TARNOCOM.cab" in a folder (environment
    // references allowed). The "TARNOCOM" trace session must be running. Only for an administrator;
    // a 32-bit process has Heskor_x64.exe do it. iParameter is only logged. Non-zero when the
    // cabinet was written (or, from a 32-bit process, the tool was started).
    BOOLEAN WINAPI rwGetTARNOLogFile(SHORT iParameter, LPCSTR lpFileSavePath);

    // Restarts (cmdPara 0: disable, pause one second, enable), disables (1) or enables (2) every
    // present reader with a USB product ID ("0730"; any case; "*" matches any run of characters).
    // Only for an administrator. Zero on failure, also when a reader is in use and the change needs
    // a system restart (a restart then skips the enable).
    BOOLEAN WINAPI rwReloadTARNODriver(LPCSTR ProductID, DWORD cmdPara);

#ifdef __cplusplus
}
#endif
