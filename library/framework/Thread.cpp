#include "Thread.h"

CWorkerThread::CWorkerThread(FW_THREADPROC pfnThreadProc, LPVOID pParam)
    : m_hThread(NULL), m_nThreadID(0), m_bAutoDelete(TRUE), m_pfnThreadProc(pfnThreadProc),
      m_pThreadParams(pParam)
{
}

CWorkerThread::~CWorkerThread()
{
    if (m_hThread != NULL)
    {
        CloseHandle(m_hThread);
    }
}

BOOL CWorkerThread::CreateThread(DWORD dwCreateFlags, UINT nStackSize)
{
    // Always created suspended, so that the handle and id are recorded before the thread can
    // look at them (or delete the object).
    m_hThread =
        ::CreateThread(NULL, nStackSize, ThreadEntry, this, dwCreateFlags | CREATE_SUSPENDED, &m_nThreadID);
    if (m_hThread == NULL)
    {
        return FALSE;
    }
    if ((dwCreateFlags & CREATE_SUSPENDED) == 0)
    {
        ::ResumeThread(m_hThread);
    }
    return TRUE;
}

DWORD CWorkerThread::ResumeThread()
{
    return ::ResumeThread(m_hThread);
}

DWORD WINAPI CWorkerThread::ThreadEntry(LPVOID pThis)
{
    CWorkerThread* pThread = static_cast<CWorkerThread*>(pThis);
    UINT nResult = pThread->m_pfnThreadProc(pThread->m_pThreadParams);
    if (pThread->m_bAutoDelete)
    {
        delete pThread;
    }
    return nResult;
}

CWorkerThread* FwBeginThread(FW_THREADPROC pfnThreadProc, LPVOID pParam, UINT nStackSize, DWORD dwCreateFlags)
{
    CWorkerThread* pThread = new CWorkerThread(pfnThreadProc, pParam);
    if (!pThread->CreateThread(dwCreateFlags, nStackSize))
    {
        delete pThread;
        return NULL;
    }
    return pThread;
}
