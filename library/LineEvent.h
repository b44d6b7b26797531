// What the two kinds of per-port notification objects share: the hidden window of the main thread
// that calls the application's callback, the callback fields, and the rule that lets a callback
// call the library while keeping the promise that no callback runs after its release returned.
//
// Locks: m_csEvent serialises the registration of the object's callback (and, for a WMI object,
// the start and stop of its polling thread); m_csFields guards the four callback fields and the
// record of a callback under way, and is never held across a call out or a wait. Lock order:
// sgCSLock, then m_csEvent, then m_csFields.
//
// The callback runs with neither lock held: a callback may call the library's exports (which take
// sgCSLock) while another thread registers (holding sgCSLock, waiting for m_csEvent) without the
// two waiting for each other. Instead, a release (NULL callback) from another thread waits, after
// sgCSLock is released, until a callback already under way has returned (WaitForCallbacks).
#pragma once

#include <windows.h>

#include <Ostrix.h>

#include <string>

#include "framework/Sync.h"
#include "framework/Window.h"

// The callback fields as one call needs them.
struct LINE_EVENT_TARGET
{
    std::string strPortNo;
    USBCOMEventProc* pCommEvent;
    LONG_PTR pParam;
    LONG lEvent;
};

class CLineEventWindow : public CWindow
{
  public:
    CLineEventWindow();
    ~CLineEventWindow() override;

    // Creates the hidden top-level window of the calling thread under the given window name.
    BOOL CreateHiddenWindow(LPCSTR pszWindowName);

    // Whether a callback is registered.
    BOOL HasCallback();
    // The callback fields as they are now.
    LINE_EVENT_TARGET Target();

    // Stores a callback, or clears the fields when pUSBCOMEventProc is NULL.
    void SetTarget(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc, LONG_PTR pParam, LONG lEvent);

    // Calls the registered callback for an event, if there is one: its result in *psResult and
    // TRUE when it was called. Runs on the main thread; logs the object lock under pszLabel. No
    // lock is held during the call.
    BOOL CallCallback(LPCSTR pszLabel, LONG lEventCode, SHORT* psResult);

    // Returns once no callback that started on another thread is under way. A release calls it
    // after leaving sgCSLock; on the thread of a running callback (a callback releasing itself) it
    // returns at once.
    void WaitForCallbacks();

    CCriticalSection m_csEvent;

  protected:
    CCriticalSection m_csFields;
    std::string m_PortNo;          // empty while no callback is set
    USBCOMEventProc* m_pCommEvent; // NULL while no callback is set
    LONG_PTR m_pParam;
    LONG m_lEvent; // 0 while no callback is set

  private:
    // Callbacks under way (a callback that pumps messages may nest another), their thread, and an
    // event set while none is.
    int m_iCallbacksRunning;
    DWORD m_dwCallbackThread;
    HANDLE m_hCallbacksDone;
};

// The port number a port name carries: the decimal number after its first three characters.
int PortNumberOf(const std::string& strPortNo);
