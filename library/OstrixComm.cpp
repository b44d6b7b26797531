#include "OstrixComm.h"

#include <string.h>

#include "LogWriter.h"

BEGIN_MESSAGE_MAP(COstrixComm, CWindow)
ON_MESSAGE(WM_DEVICECHANGE, &COstrixComm::OnEventNotify)
END_MESSAGE_MAP()

namespace
{
int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads cDigits hexadecimal digits; FALSE when one is not a digit.
BOOL ReadHex(LPCSTR psz, int cDigits, unsigned long long* pullValue)
{
    unsigned long long ullValue = 0;
    for (int i = 0; i < cDigits; ++i)
    {
        int iDigit = HexDigit(psz[i]);
        if (iDigit < 0)
        {
            return FALSE;
        }
        ullValue = (ullValue << 4) | static_cast<unsigned>(iDigit);
    }
    *pullValue = ullValue;
    return TRUE;
}
} // namespace

BOOL COstrixComm::GuidFromText(LPCSTR pszText, GUID* pGuid)
{
    if (pszText == NULL || strlen(pszText) != 32)
    {
        return FALSE;
    }
    unsigned long long ullValue = 0;
    if (!ReadHex(pszText, 8, &ullValue))
    {
        return FALSE;
    }
    pGuid->Data1 = static_cast<unsigned long>(ullValue);
    if (!ReadHex(pszText + 8, 4, &ullValue))
    {
        return FALSE;
    }
    pGuid->Data2 = static_cast<unsigned short>(ullValue);
    if (!ReadHex(pszText + 12, 4, &ullValue))
    {
        return FALSE;
    }
    pGuid->Data3 = static_cast<unsigned short>(ullValue);
    for (int i = 0; i < 8; ++i)
    {
        if (!ReadHex(pszText + 16 + i * 2, 2, &ullValue))
        {
            return FALSE;
        }
        pGuid->Data4[i] = static_cast<unsigned char>(ullValue);
    }
    return TRUE;
}

COstrixComm::COstrixComm() : m_Handle(NULL)
{
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, "COstrixComm::COstrixComm");
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO,
               "m_PortNo = %s m_lEvent = %ld m_pCommEvent = %p m_pParam = %lld m_Handle = %p",
               m_PortNo.c_str(), m_lEvent, reinterpret_cast<void*>(m_pCommEvent),
               static_cast<long long>(m_pParam), m_Handle);

    BOOL bflg = CreateHiddenWindow("OstrixComm");

    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    ZeroMemory(&filter, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    GuidFromText(OSTRIX_PORTS_CLASS_GUID_TEXT, &filter.dbcc_classguid);
    m_Handle = RegisterDeviceNotificationA(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "bflg = %d m_Handle = %p", bflg, m_Handle);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, "COstrixComm::COstrixComm");
}

COstrixComm::~COstrixComm()
{
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, "COstrixComm::~COstrixComm");
    BOOL bRet = DestroyWindow();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "DestroyWindow bRet = %ld", static_cast<long>(bRet));
    if (m_Handle != NULL)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Do UnregisterDeviceNotification!! m_Handle = %p", m_Handle);
        UnregisterDeviceNotification(m_Handle);
        m_Handle = NULL;
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, "COstrixComm::~COstrixComm");
}

SHORT COstrixComm::SetUSBCOMLineEventProc(LPCSTR strPortNo, USBCOMEventProc* pUSBCOMEventProc,
                                          LONG_PTR pParam, LONG lEvent)
{
    static const char szLabel[] = "SetUSBCOMLineEventProc";
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
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Set Callback");
    }
    else
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "pUSBCOMEventProc is NULL!! ");
        SetTarget(NULL, NULL, 0, 0);
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Release Callback");
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSUNLOCK, szLabel);
    m_csEvent.Unlock();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return 0;
}

LRESULT COstrixComm::OnEventNotify(WPARAM wParam, LPARAM lParam)
{
    static const char szLabel[] = "COstrixComm::OnEventNotify";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "wParam_val = %llu lParam_data = %lld",
               static_cast<unsigned long long>(wParam), static_cast<long long>(lParam));
    PDEV_BROADCAST_HDR pHeader = reinterpret_cast<PDEV_BROADCAST_HDR>(lParam);
    if (wParam == DBT_DEVICEARRIVAL)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Recieve DBT_DEVICEARRIVAL");
        CheckUSBCOMLineEventProc(pHeader, DBT_DEVICEARRIVAL);
    }
    else if (wParam == DBT_DEVICEREMOVECOMPLETE)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Recieve DBT_DEVICEREMOVECOMPLETE");
        CheckUSBCOMLineEventProc(pHeader, DBT_DEVICEREMOVECOMPLETE);
    }
    else
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "wParam_val unkown wParam_val = %llu",
                   static_cast<unsigned long long>(wParam));
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return 0;
}

BOOL COstrixComm::CheckUSBCOMLineEventProc(PDEV_BROADCAST_HDR pHeader, int iType)
{
    static const char szLabel[] = "CheckUSBCOMLineEventProc";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    if (pHeader == NULL)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
        return FALSE;
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "dbch_devicetype = %lu",
               static_cast<unsigned long>(pHeader->dbch_devicetype));
    if (pHeader->dbch_devicetype != DBT_DEVTYP_PORT)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
        return FALSE;
    }
    // The name ends at its terminator or at the end of the record, whichever comes first.
    PDEV_BROADCAST_PORT_A pPort = reinterpret_cast<PDEV_BROADCAST_PORT_A>(pHeader);
    size_t cbName = pHeader->dbch_size > offsetof(DEV_BROADCAST_PORT_A, dbcp_name)
                        ? pHeader->dbch_size - offsetof(DEV_BROADCAST_PORT_A, dbcp_name)
                        : 0;
    std::string strName(pPort->dbcp_name, strnlen(pPort->dbcp_name, cbName));
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "dbcp_name = %s", strName.c_str());

    // A snapshot: another thread may register while the broadcast is looked at.
    LINE_EVENT_TARGET target = Target();
    if (target.strPortNo != strName)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
        return FALSE;
    }
    if (iType == DBT_DEVICEARRIVAL && (target.lEvent & EVT_USB_ONLINE) == 0)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "EVT_USB_ONLINE not Set!! m_lEvent = %ld iType = %d",
                   target.lEvent, iType);
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
        return FALSE;
    }
    if (iType == DBT_DEVICEREMOVECOMPLETE && (target.lEvent & EVT_USB_OFFLINE) == 0)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "EVT_USB_OFFLINE not Set!! m_lEvent = %ld iType = %d",
                   target.lEvent, iType);
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
        return FALSE;
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "CheckOK!! m_lEvent = %ld iType = %d", target.lEvent, iType);
    LONG lEventCode = iType == DBT_DEVICEARRIVAL ? EVT_USB_ONLINE : EVT_USB_OFFLINE;
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "iEvent Set!! m_lEvent = %ld iEvent = %ld", target.lEvent,
               lEventCode);

    SHORT sResult = 0;
    BOOL bCalled = CallCallback(szLabel, lEventCode, &sResult);
    if (bCalled)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "CallbackFunk Start!! iRet = %d", sResult);
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return bCalled;
}
