// Per-port notification object for line events by device notification: a hidden top-level window
// of the main thread that receives the system's WM_DEVICECHANGE broadcasts and calls the
// application's callback for its port. One per port number, owned by the library object's
// m_pPortStatus; created on the main thread, kept until the library unloads.
#pragma once

#include <windows.h>
#include <dbt.h>

#include "LineEvent.h"

// The Ports device class, whose interface broadcasts the object registers for.
#define OSTRIX_PORTS_CLASS_GUID_TEXT "4d36e978e32511cebfc108002be10318"

class COstrixComm : public CLineEventWindow
{
  public:
    // Creates the window and registers the device notification (failures are logged only).
    COstrixComm();
    // Destroys the window and unregisters the notification.
    ~COstrixComm() override;

    // Sets the callback, or releases it when pUSBCOMEventProc is NULL. Returns 0.
    SHORT SetUSBCOMLineEventProc(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc, LONG_PTR pParam,
                                 LONG lEvent);

    // WM_DEVICECHANGE.
    LRESULT OnEventNotify(WPARAM wParam, LPARAM lParam);
    // Filters one broadcast (iType DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE) and calls the
    // callback; TRUE when it was called.
    BOOL CheckUSBCOMLineEventProc(PDEV_BROADCAST_HDR pHeader, int iType);

    HDEVNOTIFY m_Handle;

    // Parses a GUID written as 32 hexadecimal digits without separators.
    static BOOL GuidFromText(LPCSTR pszText, GUID* pGuid);

    DECLARE_MESSAGE_MAP()
};
