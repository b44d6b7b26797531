// Application framework: worker thread objects.
//
// A CWorkerThread runs a thread procedure with one parameter on a thread of its own. It is
// created suspended or running; with m_bAutoDelete TRUE the object deletes itself when the thread
// ends, with FALSE (what a caller that waits for the thread needs) it stays until its owner
// deletes it, and closes the thread handle then.
#pragma once

#include <windows.h>

typedef UINT(__cdecl* FW_THREADPROC)(LPVOID pParam);

class CWorkerThread
{
  public:
    CWorkerThread(FW_THREADPROC pfnThreadProc, LPVOID pParam);
    virtual ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts the thread (CREATE_SUSPENDED keeps it from running until ResumeThread). FALSE with the
    // last error of CreateThread when it cannot start.
    BOOL CreateThread(DWORD dwCreateFlags = 0, UINT nStackSize = 0);
    DWORD ResumeThread();

    HANDLE m_hThread;
    DWORD m_nThreadID;
    BOOL m_bAutoDelete;

  private:
    static DWORD WINAPI ThreadEntry(LPVOID pThis);

    FW_THREADPROC m_pfnThreadProc;
    LPVOID m_pThreadParams;
};

// Creates a worker thread object (normal priority) and starts its thread; NULL when the thread
// cannot start (the object is deleted then).
CWorkerThread* FwBeginThread(FW_THREADPROC pfnThreadProc, LPVOID pParam, UINT nStackSize = 0,
                             DWORD dwCreateFlags = 0);
