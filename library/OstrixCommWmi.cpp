#include "OstrixCommWmi.h"

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <ctype.h>
#include <string.h>

#include "LogWriter.h"
#include "OstrixApp.h"

BEGIN_MESSAGE_MAP(COstrixCommWmi, CWindow)
ON_REGISTERED_MESSAGE(sgOstrixEventMessage, &COstrixCommWmi::OnEventNotify)
END_MESSAGE_MAP()

namespace
{
// {4590F811-1D3A-11D0-891F-00AA004B2E24}
const CLSID kClsidWbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
// {DC12A687-737F-11CF-884D-00AA004B2E24}
const IID kIidWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

// How long library unload waits for a polling thread.
const DWORD kUnloadWaitMs = 500;

// A BSTR variant's text in the thread's code page; empty for anything else.
std::string NarrowOf(const VARIANT& value)
{
    if (value.vt != VT_BSTR || value.bstrVal == NULL)
    {
        return std::string();
    }
    int cchWide = static_cast<int>(SysStringLen(value.bstrVal));
    if (cchWide == 0)
    {
        return std::string();
    }
    int cbNarrow = WideCharToMultiByte(CP_THREAD_ACP, 0, value.bstrVal, cchWide, NULL, 0, NULL, NULL);
    if (cbNarrow <= 0)
    {
        return std::string();
    }
    std::string text(static_cast<size_t>(cbNarrow), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, value.bstrVal, cchWide, &text[0], cbNarrow, NULL, NULL);
    return text;
}

// A BSTR of ASCII text, or NULL when out of memory.
BSTR BstrOf(LPCSTR pszText)
{
    WCHAR wszText[64];
    size_t i = 0;
    for (; pszText[i] != 0 && i + 1 < sizeof(wszText) / sizeof(wszText[0]); ++i)
    {
        wszText[i] = static_cast<WCHAR>(static_cast<unsigned char>(pszText[i]));
    }
    wszText[i] = 0;
    return SysAllocString(wszText);
}
} // namespace

COstrixCommWmi::COstrixCommWmi(DWORD dwPollingInterval)
    : m_bFirstPoll(0), m_bStopPolling(0), m_iPrevOnLine(0), m_iOnLine(0), m_pWmiPollingThread(NULL),
      m_dwPollingInterval(dwPollingInterval), m_hStopEvent(CreateEventA(NULL, TRUE, FALSE, NULL))
{
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, "COstrixCommWmi::COstrixCommWmi");
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "m_PortNo = %s m_lEvent = %ld m_pCommEvent = %p m_pParam = %lld",
               m_PortNo.c_str(), m_lEvent, reinterpret_cast<void*>(m_pCommEvent),
               static_cast<long long>(m_pParam));
    BOOL bflg = CreateHiddenWindow("OstrixCommWmi");
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "bflg = %d", bflg);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, "COstrixCommWmi::COstrixCommWmi");
}

COstrixCommWmi::~COstrixCommWmi()
{
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, "COstrixCommWmi::~COstrixCommWmi");
    // The owner has stopped the thread (StopForUnload); this only covers an object deleted
    // without that step.
    m_csEvent.Lock();
    StopPollingThread(kUnloadWaitMs);
    m_csEvent.Unlock();
    BOOL bRet = DestroyWindow();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "DestroyWindow bRet = %ld", static_cast<long>(bRet));
    if (m_hStopEvent != NULL)
    {
        CloseHandle(m_hStopEvent);
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, "COstrixCommWmi::~COstrixCommWmi");
}

BOOL COstrixCommWmi::StopPollingThread(DWORD dwTimeout)
{
    if (m_pWmiPollingThread == NULL)
    {
        return TRUE;
    }
    InterlockedExchange(&m_bStopPolling, 1);
    if (m_hStopEvent != NULL)
    {
        SetEvent(m_hStopEvent);
    }
    if (WaitForSingleObject(m_pWmiPollingThread->m_hThread, dwTimeout) != WAIT_OBJECT_0)
    {
        return FALSE;
    }
    delete m_pWmiPollingThread;
    m_pWmiPollingThread = NULL;
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "delete m_pWmiPollingThread");
    return TRUE;
}

BOOL COstrixCommWmi::StopForUnload()
{
    m_csEvent.Lock();
    BOOL bStopped = StopPollingThread(kUnloadWaitMs);
    m_csEvent.Unlock();
    if (!bStopped)
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO,
                   "m_pWmiPollingThread did not end within %lu ms; the object stays for it",
                   static_cast<unsigned long>(kUnloadWaitMs));
    }
    return bStopped;
}

SHORT COstrixCommWmi::SetUSBCOMLineEventProc(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc,
                                             LONG_PTR pParam, LONG lEvent)
{
    static const char szLabel[] = "SetUSBCOMLineEventProc";
    SHORT sResult = 0;
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    m_csEvent.Lock();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSLOCK, szLabel);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO,
               "strPortNo = %s pUSBCOMEventProc = %p pParam = %lld lEvent = %ld",
               strPortNo != NULL ? strPortNo : "(null)", reinterpret_cast<void*>(pUSBCOMEventProc),
               static_cast<long long>(pParam), lEvent);
    if (pUSBCOMEventProc != NULL)
    {
        SetTarget(strPortNo, pUSBCOMEventProc, pParam, lEvent);
        if (m_pWmiPollingThread == NULL)
        {
            InterlockedExchange(&m_bStopPolling, 0);
            if (m_hStopEvent != NULL)
            {
                ResetEvent(m_hStopEvent);
            }
            CWorkerThread* pThread = new CWorkerThread(WmiPollingThreadProc, this);
            if (!pThread->CreateThread(CREATE_SUSPENDED, 0))
            {
                delete pThread;
                OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "Failed to start WmiPollingThread");
                sResult = 1;
            }
            else
            {
                pThread->m_bAutoDelete = FALSE;
                m_pWmiPollingThread = pThread;
                pThread->ResumeThread();
                OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Succeed to start WmiPollingThread");
            }
        }
    }
    else
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "pUSBCOMEventProc is NULL, so unregister callback.");
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Release Callback");
        StopPollingThread(INFINITE);
        SetTarget(NULL, NULL, 0, 0);
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSUNLOCK, szLabel);
    m_csEvent.Unlock();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return sResult;
}

LRESULT COstrixCommWmi::OnEventNotify(WPARAM wParam, LPARAM lParam)
{
    static const char szLabel[] = "COstrixCommWmi::OnEventNotify";
    (void)wParam;
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "OnEventNotify called");
    SHORT sResult = 0;
    if (CallCallback(szLabel, static_cast<LONG>(lParam), &sResult))
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "CallbackFunk Start!! iRet = %d", sResult);
    }
    return 0;
}

BOOL COstrixCommWmi::RowMatchesPort(LPCSTR pszDeviceId, LPCSTR pszCaption, const std::string& strPortNo)
{
    std::string strId(pszDeviceId);
    for (char& c : strId)
    {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    if (strId.find("usb\\") == std::string::npos)
    {
        return FALSE;
    }
    LPCSTR pszCom = strstr(pszCaption, "COM");
    if (pszCom == NULL)
    {
        return FALSE;
    }
    std::string strName;
    for (LPCSTR p = pszCom; *p != 0; ++p)
    {
        if (*p != ')')
        {
            strName += *p;
        }
    }
    return strName == strPortNo;
}

LONG COstrixCommWmi::DecidePoll(POLL_STATE* pState, LONG lEventMask)
{
    LONG lEventCode = 0;
    if (pState->bFirstPoll)
    {
        pState->bFirstPoll = 0;
    }
    else if (pState->iPrevOnLine == 0 && pState->iOnLine == 1 && (lEventMask & EVT_USB_ONLINE) != 0)
    {
        lEventCode = EVT_USB_ONLINE;
    }
    else if (pState->iPrevOnLine == 1 && pState->iOnLine == 0 && (lEventMask & EVT_USB_OFFLINE) != 0)
    {
        lEventCode = EVT_USB_OFFLINE;
    }
    pState->iPrevOnLine = pState->iOnLine;
    return lEventCode;
}

LONG COstrixCommWmi::DecideEvent(LONG lEventMask)
{
    POLL_STATE state = {m_bFirstPoll, m_iPrevOnLine, m_iOnLine};
    LONG lEventCode = DecidePoll(&state, lEventMask);
    m_bFirstPoll = state.bFirstPoll;
    m_iPrevOnLine = state.iPrevOnLine;
    return lEventCode;
}

HRESULT COstrixCommWmi::Poll(const std::string& strPortNo, LONG* piOnLine)
{
    IWbemLocator* pLocator = NULL;
    IWbemServices* pServices = NULL;
    IEnumWbemClassObject* pEnumerator = NULL;
    BSTR bstrNamespace = NULL;
    BSTR bstrLanguage = NULL;
    BSTR bstrQuery = NULL;

    HRESULT hr = CoCreateInstance(kClsidWbemLocator, NULL, CLSCTX_INPROC_SERVER, kIidWbemLocator,
                                  reinterpret_cast<LPVOID*>(&pLocator));
    if (FAILED(hr))
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "ErrorCode 0x%X: CoCreateInstance Error. ",
                   static_cast<unsigned>(hr));
        return hr;
    }
    bstrNamespace = BstrOf("ROOT\\CIMV2");
    hr = pLocator->ConnectServer(bstrNamespace, NULL, NULL, NULL, 0, NULL, NULL, &pServices);
    if (FAILED(hr))
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "ErrorCode 0x%X: ConnectServer Error. ",
                   static_cast<unsigned>(hr));
        goto Cleanup;
    }
    hr = CoSetProxyBlanket(pServices, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, NULL, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, NULL, EOAC_NONE);
    if (FAILED(hr))
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "ErrorCode 0x%X: CoSetProxyBlanket Error. ",
                   static_cast<unsigned>(hr));
        goto Cleanup;
    }
    bstrLanguage = BstrOf("WQL");
    bstrQuery = BstrOf("SELECT * FROM Win32_PnPEntity");
    hr = pServices->ExecQuery(bstrLanguage, bstrQuery, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                              NULL, &pEnumerator);
    if (FAILED(hr))
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "ErrorCode 0x%X: ExecQuery Error. ",
                   static_cast<unsigned>(hr));
        goto Cleanup;
    }

    *piOnLine = 0;
    for (;;)
    {
        IWbemClassObject* pObject = NULL;
        ULONG uReturned = 0;
        pEnumerator->Next(WBEM_INFINITE, 1, &pObject, &uReturned);
        if (uReturned == 0 || pObject == NULL)
        {
            break;
        }
        VARIANT vtDeviceId;
        VARIANT vtCaption;
        VariantInit(&vtDeviceId);
        VariantInit(&vtCaption);
        pObject->Get(L"PNPDeviceID", 0, &vtDeviceId, NULL, NULL);
        pObject->Get(L"Caption", 0, &vtCaption, NULL, NULL);
        if (RowMatchesPort(NarrowOf(vtDeviceId).c_str(), NarrowOf(vtCaption).c_str(), strPortNo))
        {
            *piOnLine = 1;
        }
        VariantClear(&vtDeviceId);
        VariantClear(&vtCaption);
        pObject->Release();
    }
    hr = S_OK;

Cleanup:
    if (pEnumerator != NULL)
    {
        pEnumerator->Release();
    }
    if (pServices != NULL)
    {
        pServices->Release();
    }
    pLocator->Release();
    SysFreeString(bstrNamespace);
    SysFreeString(bstrLanguage);
    SysFreeString(bstrQuery);
    return hr;
}

HRESULT COstrixCommWmi::ThreadMain()
{
    static const char szLabel[] = "COstrixCommWmi::ThreadMain";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    HRESULT hr = S_OK;
    m_bFirstPoll = 1;
    m_iPrevOnLine = 0;
    while (InterlockedCompareExchange(&m_bStopPolling, 0, 0) == 0)
    {
        // The port and mask a re-registration may change meanwhile, taken once per poll.
        LINE_EVENT_TARGET target = Target();
        LONG iOnLine = 0;
        hr = Poll(target.strPortNo, &iOnLine);
        if (FAILED(hr))
        {
            break;
        }
        m_iOnLine = iOnLine;
        LONG lEventCode = DecideEvent(target.lEvent);
        if (lEventCode != 0)
        {
            PostMessageA(m_hWnd, sgOstrixEventMessage, 0, lEventCode);
        }
        if (m_hStopEvent != NULL)
        {
            WaitForSingleObject(m_hStopEvent, m_dwPollingInterval);
        }
        else
        {
            Sleep(m_dwPollingInterval);
        }
    }
    if (SUCCEEDED(hr))
    {
        hr = S_OK;
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "ThreadMain=0x%X", static_cast<unsigned>(hr));
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return hr;
}

UINT __cdecl WmiPollingThreadProc(LPVOID pParam)
{
    static const char szLabel[] = "WmiPollingThreadProc";
    COstrixCommWmi* pThis = static_cast<COstrixCommWmi*>(pParam);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    BOOL bUninitialize = TRUE;
    HRESULT hr = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (hr == S_FALSE)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO,
                   "ErrorCode 0x%X: CoInitializeEx is already called in the same process.",
                   static_cast<unsigned>(hr));
        bUninitialize = FALSE;
    }
    else if (FAILED(hr))
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "ErrorCode 0x%X: CoInitializeEx Error.",
                   static_cast<unsigned>(hr));
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ERREXIT, szLabel);
        return 0;
    }
    else
    {
        hr = CoInitializeSecurity(NULL, -1, NULL, NULL, RPC_C_AUTHN_LEVEL_DEFAULT,
                                  RPC_C_IMP_LEVEL_IMPERSONATE, NULL, EOAC_NONE, NULL);
        if (FAILED(hr) && hr != RPC_E_TOO_LATE)
        {
            OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "ErrorCode 0x%X: CoInitializeSecurity Error.",
                       static_cast<unsigned>(hr));
            CoUninitialize();
            OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ERREXIT, szLabel);
            return 0;
        }
    }
    hr = pThis->ThreadMain();
    if (hr != S_OK)
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "Failed to start USBComThread 0x%X",
                   static_cast<unsigned>(hr));
    }
    if (bUninitialize)
    {
        CoUninitialize();
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return 0;
}
