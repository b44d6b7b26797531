#include "LineEvent.h"

#include <stdlib.h>

#include "LogWriter.h"

CLineEventWindow::CLineEventWindow()
    : m_pCommEvent(NULL), m_pParam(0), m_lEvent(0), m_iCallbacksRunning(0), m_dwCallbackThread(0),
      m_hCallbacksDone(CreateEventA(NULL, TRUE, TRUE, NULL))
{
}

CLineEventWindow::~CLineEventWindow()
{
    if (m_hCallbacksDone != NULL)
    {
        CloseHandle(m_hCallbacksDone);
    }
}

BOOL CLineEventWindow::CreateHiddenWindow(LPCSTR pszWindowName)
{
    LPCSTR pszClass = RegisterWndClass(CS_CLASSDC);
    return CreateEx(0, pszClass, pszWindowName, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                    NULL, NULL);
}

BOOL CLineEventWindow::HasCallback()
{
    m_csFields.Lock();
    BOOL bHas = m_pCommEvent != NULL;
    m_csFields.Unlock();
    return bHas;
}

LINE_EVENT_TARGET CLineEventWindow::Target()
{
    m_csFields.Lock();
    LINE_EVENT_TARGET target = {m_PortNo, m_pCommEvent, m_pParam, m_lEvent};
    m_csFields.Unlock();
    return target;
}

void CLineEventWindow::SetTarget(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc, LONG_PTR pParam,
                                 LONG lEvent)
{
    m_csFields.Lock();
    if (pUSBCOMEventProc != NULL)
    {
        m_pCommEvent = pUSBCOMEventProc;
        m_PortNo = strPortNo != NULL ? strPortNo : "";
        m_pParam = pParam;
        m_lEvent = lEvent;
    }
    else
    {
        m_pCommEvent = NULL;
        m_PortNo.clear();
        m_pParam = 0;
        m_lEvent = 0;
    }
    m_csFields.Unlock();
}

BOOL CLineEventWindow::CallCallback(LPCSTR pszLabel, LONG lEventCode, SHORT* psResult)
{
    // The fields are taken under m_csEvent, so that a registration under way finishes first; the
    // call itself runs with no lock held.
    m_csEvent.Lock();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSLOCK, pszLabel);
    m_csFields.Lock();
    USBCOMEventProc* pCommEvent = m_pCommEvent;
    LONG_PTR pParam = m_pParam;
    int iPortNo = PortNumberOf(m_PortNo);
    if (pCommEvent != NULL)
    {
        if (m_iCallbacksRunning++ == 0)
        {
            m_dwCallbackThread = GetCurrentThreadId();
            ResetEvent(m_hCallbacksDone);
        }
    }
    m_csFields.Unlock();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSUNLOCK, pszLabel);
    m_csEvent.Unlock();
    if (pCommEvent == NULL)
    {
        return FALSE;
    }

    *psResult = pCommEvent(iPortNo, lEventCode, pParam);

    m_csFields.Lock();
    if (--m_iCallbacksRunning == 0)
    {
        m_dwCallbackThread = 0;
        SetEvent(m_hCallbacksDone);
    }
    m_csFields.Unlock();
    return TRUE;
}

void CLineEventWindow::WaitForCallbacks()
{
    for (;;)
    {
        m_csFields.Lock();
        BOOL bOtherThread = m_iCallbacksRunning > 0 && m_dwCallbackThread != GetCurrentThreadId();
        m_csFields.Unlock();
        if (!bOtherThread || m_hCallbacksDone == NULL)
        {
            return;
        }
        WaitForSingleObject(m_hCallbacksDone, INFINITE);
    }
}

int PortNumberOf(const std::string& strPortNo)
{
    if (strPortNo.size() < 3)
    {
        return 0;
    }
    long lNumber = strtol(strPortNo.c_str() + 3, NULL, 10);
    return static_cast<int>(lNumber);
}
