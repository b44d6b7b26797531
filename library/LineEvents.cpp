// The line-event exports: registration of a port's callback by device notification or by WMI
// polling, and the creation of the per-port notification objects.
#include <windows.h>

#include <Ostrix.h>

#include <ctype.h>
#include <stdlib.h>
#include <strsafe.h>

#include "LogWriter.h"
#include "OstrixApp.h"
#include "OstrixComm.h"
#include "OstrixCommWmi.h"

namespace
{
const int kFirstPort = 1;
const int kLastPort = 256;

// Reads "COM" + number (the prefix in any case). TRUE with the number; FALSE with the error text.
BOOL ParsePortName(LPCSTR strPortNo, int* piPortNo, LPSTR pszError, size_t cchError)
{
    if (strPortNo == NULL || strPortNo[0] == 0)
    {
        StringCchCopyA(pszError, cchError, "strPortNo is NULL!!");
        return FALSE;
    }
    char szPrefix[4] = {0};
    for (int i = 0; i < 3 && strPortNo[i] != 0; ++i)
    {
        szPrefix[i] = static_cast<char>(toupper(static_cast<unsigned char>(strPortNo[i])));
    }
    if (strcmp(szPrefix, "COM") != 0)
    {
        StringCchPrintfA(pszError, cchError, "PortName ERR!! PortName = %s", strPortNo);
        return FALSE;
    }
    long lPortNo = strtol(strPortNo + 3, NULL, 10);
    if (lPortNo < kFirstPort || lPortNo > kLastPort)
    {
        StringCchPrintfA(pszError, cchError, "iPortNo ERR!! iPortNo = %ld", lPortNo);
        return FALSE;
    }
    *piPortNo = static_cast<int>(lPortNo);
    return TRUE;
}

// rwSetUSBCOMLineEventProc and rwSetUSBCOMWMILineEventProc: the same steps on either kind of
// notification object.
SHORT SetLineEventProc(BOOL bWmi, LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc, LONG_PTR pParam,
                       LONG lEvent, SHORT* iUSBONLineStatus)
{
    LPCSTR pszLabel = bWmi ? "rwSetUSBCOMWMILineEventProc" : "rwSetUSBCOMLineEventProc";
    if (theApp == NULL)
    {
        return OSTRIX_ERR_STATE;
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, pszLabel);
    EnterCriticalSection(&sgCSLock);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSLOCK, pszLabel);

    char szError[256] = "";
    SHORT sResult = OSTRIX_OK;
    int iPortNo = 0;
    CLineEventWindow* pObject = NULL;

    if (!ParsePortName(strPortNo, &iPortNo, szError, sizeof(szError)))
    {
        sResult = OSTRIX_ERR_PARAMETER;
    }
    else if (lEvent < EVT_USB_OFFLINE || lEvent > (EVT_USB_OFFLINE | EVT_USB_ONLINE))
    {
        StringCchPrintfA(szError, sizeof(szError), "lEvent ERR!! lEvent = %ld", lEvent);
        sResult = OSTRIX_ERR_PARAMETER;
    }
    else if (iUSBONLineStatus == NULL)
    {
        StringCchPrintfA(szError, sizeof(szError), "iUSBONLineStatus ERR!! iUSBONLineStatus = %p",
                         iUSBONLineStatus);
        sResult = OSTRIX_ERR_PARAMETER;
    }
    if (sResult == OSTRIX_OK)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO,
                   bWmi ? "strPortNo = %s pUSBCOMEventProc = %p pParam = %llu lEvent = %ld"
                        : "strPortNo = %s pUSBCOMEventProc = %p pParam = %lld lEvent = %ld",
                   strPortNo, reinterpret_cast<void*>(pUSBCOMEventProc), static_cast<long long>(pParam),
                   lEvent);
        if (!theApp->GetLineStateProc(strPortNo, iUSBONLineStatus))
        {
            StringCchCopyA(szError, sizeof(szError), "GetLineStateProc ERR!!");
            sResult = OSTRIX_ERR_STATE;
        }
    }
    if (sResult == OSTRIX_OK)
    {
        SHORT sCreate = bWmi ? theApp->CreateCOstrixCommWmi(iPortNo) : theApp->CreateCOstrixComm(iPortNo);
        if (sCreate == OSTRIX_ERR_STATE || sCreate == OSTRIX_ERR_OTHER_MODE)
        {
            StringCchPrintfA(szError, sizeof(szError),
                             bWmi ? "CreateCOstrixCommWmi NG iRet = %d" : "CreateCOstrixComm NG iRet = %d",
                             sCreate);
            sResult = sCreate;
        }
    }
    if (sResult == OSTRIX_OK)
    {
        SHORT sSet = 0;
        if (bWmi)
        {
            COstrixCommWmi* pWmi = theApp->GetOstrixCommWmiAdr(iPortNo);
            sSet = pWmi->SetUSBCOMLineEventProc(strPortNo, pUSBCOMEventProc, pParam, lEvent);
            pObject = pWmi;
        }
        else
        {
            COstrixComm* pComm = theApp->GetOstrixCommAdr(iPortNo);
            sSet = pComm->SetUSBCOMLineEventProc(strPortNo, pUSBCOMEventProc, pParam, lEvent);
            pObject = pComm;
        }
        if (sSet != 0)
        {
            StringCchPrintfA(szError, sizeof(szError),
                             bWmi ? "SetUSBCOMWMILineEventProc failed iRet = %d"
                                  : "SetUSBCOMLineEventProc failed iRet = %d",
                             sSet);
            sResult = sSet;
        }
    }

    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSUNLOCK, pszLabel);
    LeaveCriticalSection(&sgCSLock);

    // A release returns only once a callback already under way on another thread has returned;
    // it waits here, holding no lock, so that the callback may call the library meanwhile.
    if (pObject != NULL && pUSBCOMEventProc == NULL)
    {
        pObject->WaitForCallbacks();
    }

    if (sResult != OSTRIX_OK)
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "%s", szError);
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ERREXIT, pszLabel);
        return sResult;
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "iUSBONLineStatus = %d", *iUSBONLineStatus);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, pszLabel);
    return OSTRIX_OK;
}
} // namespace

template <typename Object, typename Other, typename Make>
SHORT COstrix::CreatePortObject(LPCSTR pszLabel, LPCSTR pszExistsFormat, Object** ppTable,
                                Other** ppOtherTable, int iPortNo, Make make)
{
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, pszLabel);
    SHORT sResult = OSTRIX_OK;
    m_csTables.Lock();
    if (ppOtherTable[iPortNo] != NULL && ppOtherTable[iPortNo]->HasCallback())
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "Another callback is already registerd for iPortNo = %d",
                   iPortNo);
        sResult = OSTRIX_ERR_OTHER_MODE;
    }
    else if (ppTable[iPortNo] != NULL)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, pszExistsFormat, iPortNo);
        sResult = OSTRIX_ERR_EXISTS;
    }
    else if (GetCurrentThreadId() == m_dwMainThreadID)
    {
        ppTable[iPortNo] = make();
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Create OstrixComm iPortNo = %d", iPortNo);
    }
    else
    {
        OSTRIX_LOG(
            LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "MainThread ID check ERR!! myThread = %lu mainThread = %lu",
            static_cast<unsigned long>(GetCurrentThreadId()), static_cast<unsigned long>(m_dwMainThreadID));
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ERREXIT, pszLabel);
        m_csTables.Unlock();
        return OSTRIX_ERR_STATE;
    }
    m_csTables.Unlock();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, pszLabel);
    return sResult;
}

SHORT COstrix::CreateCOstrixComm(int iPortNo)
{
    return CreatePortObject("CreateCOstrixComm", "OstrixComm iPortNo = %d is already set!!", m_pPortStatus,
                            m_pPortStatusWmi, iPortNo, [] { return new COstrixComm(); });
}

COstrixComm* COstrix::GetOstrixCommAdr(int iPortNo)
{
    m_csTables.Lock();
    COstrixComm* pComm = m_pPortStatus[iPortNo];
    m_csTables.Unlock();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "m_pPortStatus = %p iPortNo = %d", pComm, iPortNo);
    return pComm;
}

SHORT COstrix::CreateCOstrixCommWmi(int iPortNo)
{
    DWORD dwPollingInterval = m_dwPollingInterval;
    return CreatePortObject("CreateCOstrixCommWmi", "OstrixCommWmi iPortNo = %d is already set!!",
                            m_pPortStatusWmi, m_pPortStatus, iPortNo,
                            [dwPollingInterval] { return new COstrixCommWmi(dwPollingInterval); });
}

COstrixCommWmi* COstrix::GetOstrixCommWmiAdr(int iPortNo)
{
    m_csTables.Lock();
    COstrixCommWmi* pWmi = m_pPortStatusWmi[iPortNo];
    m_csTables.Unlock();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "m_pPortStatusWmi = %p iPortNo = %d", pWmi, iPortNo);
    return pWmi;
}

extern "C" SHORT WINAPI rwSetUSBCOMLineEventProc(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc,
                                                 LONG_PTR pParam, LONG lEvent, SHORT* iUSBONLineStatus)
{
    return SetLineEventProc(FALSE, strPortNo, pUSBCOMEventProc, pParam, lEvent, iUSBONLineStatus);
}

extern "C" SHORT WINAPI rwSetUSBCOMWMILineEventProc(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc,
                                                    LONG_PTR pParam, LONG lEvent, SHORT* iUSBONLineStatus)
{
    return SetLineEventProc(TRUE, strPortNo, pUSBCOMEventProc, pParam, lEvent, iUSBONLineStatus);
}

extern "C" SHORT WINAPI rwInitializeEvent(LPCSTR strPortNo)
{
    static const char szLabel[] = "rwInitializeEvent";
    if (theApp == NULL)
    {
        return OSTRIX_ERR_STATE;
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    char szError[256] = "";
    int iPortNo = 0;
    SHORT sResult = OSTRIX_OK;
    if (!ParsePortName(strPortNo, &iPortNo, szError, sizeof(szError)))
    {
        sResult = OSTRIX_ERR_PARAMETER;
    }
    else
    {
        sResult = theApp->CreateCOstrixComm(iPortNo);
        if (sResult != OSTRIX_OK)
        {
            StringCchPrintfA(szError, sizeof(szError), "CreateCOstrixComm NG iRet = %d", sResult);
        }
    }
    if (sResult != OSTRIX_OK)
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "%s", szError);
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ERREXIT, szLabel);
        return sResult;
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return OSTRIX_OK;
}
