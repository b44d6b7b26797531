// Per-port notification object for line events by WMI polling: a polling thread asks WMI for the
// Plug and Play devices at a fixed interval and, when the port came or went, posts the library's
// registered message to this object's hidden window of the main thread, which calls the
// application's callback there. One per port number, owned by the library object's
// m_pPortStatusWmi; created on the main thread.
//
// The polling thread reads the port name and mask through a snapshot taken under m_csFields once
// per poll, the stop flag with interlocked reads; it writes only m_bFirstPoll, m_iPrevOnLine and
// m_iOnLine, and talks to the main thread only by posting the message. It pauses between polls in
// a wait on m_hStopEvent, so that a stop request needs no more than the poll under way.
#pragma once

#include <windows.h>

#include "LineEvent.h"
#include "framework/Thread.h"

class COstrixCommWmi : public CLineEventWindow
{
  public:
    // dwPollingInterval: milliseconds the thread sleeps after each poll.
    explicit COstrixCommWmi(DWORD dwPollingInterval);
    // Stops the polling thread (waiting at most 500 ms) and destroys the window. The owner deletes
    // the object only once StopForUnload has reported the thread gone.
    ~COstrixCommWmi() override;

    // Sets the callback and starts polling when no thread runs yet (0, or 1 when the thread could
    // not start); with a NULL callback stops the thread and clears the callback (0).
    SHORT SetUSBCOMLineEventProc(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc, LONG_PTR pParam,
                                 LONG lEvent);

    // The registered message.
    LRESULT OnEventNotify(WPARAM wParam, LPARAM lParam);

    // The polling loop; returns the status that ended it (0 after a stop request).
    HRESULT ThreadMain();

    // Library unload: asks the polling thread to stop and waits for it at most 500 ms. TRUE when
    // no thread runs any more (the object may be deleted); FALSE when it still runs, and the
    // object must stay alive for it.
    BOOL StopForUnload();

    // The presence a polling run keeps from one poll to the next.
    struct POLL_STATE
    {
        LONG bFirstPoll;  // the run's first poll reports nothing
        LONG iPrevOnLine; // presence seen by the previous poll
        LONG iOnLine;     // presence seen by this poll
    };
    // Decides what one poll reports: the event code to post (EVT_USB_ONLINE, EVT_USB_OFFLINE) or
    // 0; clears bFirstPoll and moves iOnLine to iPrevOnLine.
    static LONG DecidePoll(POLL_STATE* pState, LONG lEventMask);
    // The same on this object's fields.
    LONG DecideEvent(LONG lEventMask);

    // Whether a Win32_PnPEntity row (its PNPDeviceID and Caption) is the port strPortNo.
    static BOOL RowMatchesPort(LPCSTR pszDeviceId, LPCSTR pszCaption, const std::string& strPortNo);

    LONG m_bFirstPoll;
    volatile LONG m_bStopPolling;
    LONG m_iPrevOnLine;
    LONG m_iOnLine;
    CWorkerThread* m_pWmiPollingThread;
    DWORD m_dwPollingInterval;
    // Set with m_bStopPolling, so that a stop request ends the pause between two polls at once.
    HANDLE m_hStopEvent;

    DECLARE_MESSAGE_MAP()

  private:
    // One poll: whether the port is among WMI's Plug and Play devices, in *piOnLine.
    HRESULT Poll(const std::string& strPortNo, LONG* piOnLine);
    // Stops and deletes the polling thread, waiting at most dwTimeout; FALSE when it still runs.
    BOOL StopPollingThread(DWORD dwTimeout);
};

// Entry procedure of the polling thread; pParam is the object.
UINT __cdecl WmiPollingThreadProc(LPVOID pParam);
