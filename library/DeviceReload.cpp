#include "DeviceReload.h"

#include <Ostrix.h>

#include <string.h>
#include <strsafe.h>

#include <vector>

#include "LogWriter.h"
#include "OstrixApp.h"
#include "ProductConstants.h"
#include "SystemChecks.h"

namespace
{
// The fixed part of every pattern: the reader's vendor; the caller's product ID follows.
const char kIdPrefix[] = "USB\\VID_" TARNO_VENDOR_ID_TEXT "&PID_";

// A property's first try reads into this many bytes (two more stay free for the terminators).
const DWORD kIdListBuffer = 8192;

// Pause between the disable and the enable of a reload.
const DWORD kReloadPause = 1000;

// Bytes of the character at p: 2 for a lead byte with its trail byte, else 1.
size_t CharBytes(LPCSTR p)
{
    return IsDBCSLeadByte(static_cast<BYTE>(p[0])) && p[1] != 0 ? 2 : 1;
}

char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether the cchSegment bytes of pszSegment match the text at pszText, character by character:
// single-byte characters without regard to case, double-byte ones exactly.
BOOL SegmentMatchesAt(LPCSTR pszText, LPCSTR pszSegment, size_t cchSegment)
{
    size_t i = 0;
    while (i < cchSegment)
    {
        size_t cbPattern = CharBytes(pszSegment + i);
        if (pszText[i] == 0 || CharBytes(pszText + i) != cbPattern)
        {
            return FALSE;
        }
        if (cbPattern == 2 ? memcmp(pszText + i, pszSegment + i, 2) != 0
                           : UpperAscii(pszText[i]) != UpperAscii(pszSegment[i]))
        {
            return FALSE;
        }
        i += cbPattern;
    }
    return TRUE;
}

// The first "*" of a text at a character boundary, or NULL.
LPCSTR FindStar(LPCSTR psz)
{
    for (; *psz != 0; psz += CharBytes(psz))
    {
        if (*psz == '*')
        {
            return psz;
        }
    }
    return NULL;
}

// A device's hardware or compatible IDs, always ending in two terminators; empty on failure.
std::vector<char> ReadIdList(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwProperty)
{
    std::vector<char> list(kIdListBuffer + 2, 0);
    DWORD dwType = 0;
    DWORD cbRequired = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(hDevInfo, pDevInfoData, dwProperty, &dwType,
                                           reinterpret_cast<PBYTE>(list.data()), kIdListBuffer, &cbRequired))
    {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || dwType != REG_MULTI_SZ)
        {
            return std::vector<char>(2, 0);
        }
        list.assign(static_cast<size_t>(cbRequired) + 2, 0);
        if (!SetupDiGetDeviceRegistryPropertyA(hDevInfo, pDevInfoData, dwProperty, &dwType,
                                               reinterpret_cast<PBYTE>(list.data()), cbRequired, &cbRequired))
        {
            return std::vector<char>(2, 0);
        }
    }
    size_t cbData = cbRequired < list.size() - 2 ? cbRequired : list.size() - 2;
    list[cbData] = 0;
    list[cbData + 1] = 0;
    return list;
}

BOOL AnyIdMatches(const std::vector<char>& list, LPCSTR* ppszPatterns, DWORD dwCount)
{
    for (LPCSTR pszId = list.data(); *pszId != 0; pszId += strlen(pszId) + 1)
    {
        for (DWORD i = 0; i < dwCount; ++i)
        {
            if (ppszPatterns[i] != NULL && MatchIdPattern(pszId, ppszPatterns[i]))
            {
                return TRUE;
            }
        }
    }
    return FALSE;
}

// Sets the property-change parameters and calls the class installer with them.
BOOL ChangeState(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwStateChange, DWORD dwScope)
{
    SP_PROPCHANGE_PARAMS params;
    ZeroMemory(&params, sizeof(params));
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = dwStateChange;
    params.Scope = dwScope;
    params.HwProfile = 0; // the current profile
    if (!SetupDiSetClassInstallParamsA(hDevInfo, pDevInfoData, &params.ClassInstallHeader, sizeof(params)))
    {
        return FALSE;
    }
    return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, hDevInfo, pDevInfoData);
}

DWORD ChangeAction(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, PVOID pContext)
{
    DeviceStateContext* pState = static_cast<DeviceStateContext*>(pContext);
    if (pState->dwStateChange == DICS_ENABLE)
    {
        // Enabled globally first (whatever that gives), then in the current profile.
        ChangeState(hDevInfo, pDevInfoData, DICS_ENABLE, DICS_FLAG_GLOBAL);
    }
    if (!ChangeState(hDevInfo, pDevInfoData, pState->dwStateChange, DICS_FLAG_CONFIGSPECIFIC))
    {
        // The class installer refused this device: skip it.
        return 0;
    }
    SP_DEVINSTALL_PARAMS_A installParams;
    ZeroMemory(&installParams, sizeof(installParams));
    installParams.cbSize = sizeof(installParams);
    if (SetupDiGetDeviceInstallParamsA(hDevInfo, pDevInfoData, &installParams) &&
        (installParams.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0)
    {
        pState->dwNeedRestart = 1;
    }
    pState->dwChanged++;
    return 0;
}
} // namespace

BOOL MatchIdPattern(LPCSTR pszId, LPCSTR pszPattern)
{
    LPCSTR pszStar = FindStar(pszPattern);
    if (pszStar == NULL)
    {
        size_t cchPattern = strlen(pszPattern);
        return strlen(pszId) == cchPattern && SegmentMatchesAt(pszId, pszPattern, cchPattern);
    }
    // The part before the first star is the start of the ID.
    size_t cchPrefix = static_cast<size_t>(pszStar - pszPattern);
    if (strlen(pszId) < cchPrefix || !SegmentMatchesAt(pszId, pszPattern, cchPrefix))
    {
        return FALSE;
    }
    LPCSTR pszRest = pszId + cchPrefix;
    LPCSTR pszSegment = pszStar + 1;
    for (;;)
    {
        LPCSTR pszNextStar = FindStar(pszSegment);
        if (pszNextStar == NULL)
        {
            // After the last star: the end of the ID (anything when the pattern ends in a star).
            size_t cchSegment = strlen(pszSegment);
            size_t cchRest = strlen(pszRest);
            return cchSegment <= cchRest &&
                   SegmentMatchesAt(pszRest + cchRest - cchSegment, pszSegment, cchSegment);
        }
        // Between two stars: the first place in the rest of the ID where the segment matches.
        size_t cchSegment = static_cast<size_t>(pszNextStar - pszSegment);
        LPCSTR pszFound = NULL;
        for (LPCSTR p = pszRest;; p += CharBytes(p))
        {
            if (SegmentMatchesAt(p, pszSegment, cchSegment))
            {
                pszFound = p;
                break;
            }
            if (*p == 0)
            {
                break;
            }
        }
        if (pszFound == NULL)
        {
            return FALSE;
        }
        pszRest = pszFound + cchSegment;
        pszSegment = pszNextStar + 1;
    }
}

DWORD ForEachMatchingDevice(LPCSTR* ppszPatterns, DWORD dwCount, DEVICE_ACTION action, PVOID pContext)
{
    if (dwCount == 0)
    {
        return OSTRIX_STATE_NO_PATTERN;
    }
    HDEVINFO hDevInfo =
        SetupDiGetClassDevsExA(NULL, NULL, NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT, NULL, NULL, NULL);
    if (hDevInfo == INVALID_HANDLE_VALUE)
    {
        return OSTRIX_STATE_NO_LIST;
    }
    SP_DEVINFO_LIST_DETAIL_DATA_A listDetail;
    ZeroMemory(&listDetail, sizeof(listDetail));
    listDetail.cbSize = sizeof(listDetail);
    if (!SetupDiGetDeviceInfoListDetailA(hDevInfo, &listDetail))
    {
        SetupDiDestroyDeviceInfoList(hDevInfo);
        return OSTRIX_STATE_NO_LIST;
    }
    DWORD dwResult = 0;
    SP_DEVINFO_DATA devInfo;
    ZeroMemory(&devInfo, sizeof(devInfo));
    devInfo.cbSize = sizeof(devInfo);
    for (DWORD dwIndex = 0; dwResult == 0 && SetupDiEnumDeviceInfo(hDevInfo, dwIndex, &devInfo); ++dwIndex)
    {
        std::vector<char> hardwareIds = ReadIdList(hDevInfo, &devInfo, SPDRP_HARDWAREID);
        std::vector<char> compatibleIds = ReadIdList(hDevInfo, &devInfo, SPDRP_COMPATIBLEIDS);
        if (AnyIdMatches(hardwareIds, ppszPatterns, dwCount) ||
            AnyIdMatches(compatibleIds, ppszPatterns, dwCount))
        {
            dwResult = action(hDevInfo, &devInfo, pContext);
        }
    }
    SetupDiDestroyDeviceInfoList(hDevInfo);
    return dwResult;
}

DWORD SetDeviceState(LPCSTR pszPattern, DWORD dwStateChange)
{
    if (pszPattern == NULL)
    {
        return OSTRIX_STATE_NO_PATTERN;
    }
    DeviceStateContext context = {dwStateChange, 0, 0};
    LPCSTR apszPatterns[1] = {pszPattern};
    DWORD dwResult = ForEachMatchingDevice(apszPatterns, 1, ChangeAction, &context);
    if (dwResult != 0)
    {
        return dwResult;
    }
    if (context.dwChanged == 0)
    {
        return OSTRIX_STATE_DONE;
    }
    return context.dwNeedRestart != 0 ? OSTRIX_STATE_NEED_RESTART : OSTRIX_STATE_DONE;
}

extern "C" BOOLEAN WINAPI rwReloadTARNODriver(LPCSTR ProductID, DWORD cmdPara)
{
    static const char szLabel[] = "rwReloadTARNODriver";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    EnterCriticalSection(&sgCSLock);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSLOCK, szLabel);

    BOOL bResult = FALSE;
    char szPattern[OSTRIX_ID_PATTERN_SIZE] = "";
    if (ProductID == NULL || cmdPara > 2)
    {
        bResult = FALSE;
    }
    else if (!IsUserAdmin())
    {
        bResult = FALSE;
    }
    else if (FAILED(StringCchPrintfA(szPattern, ARRAYSIZE(szPattern), "%s%s", kIdPrefix, ProductID)))
    {
        bResult = FALSE;
    }
    else if (IsWow64())
    {
        bResult = RunToolHidden(ProductID, cmdPara);
    }
    else if (cmdPara == 0)
    {
        if (SetDeviceState(szPattern, DICS_DISABLE) == OSTRIX_STATE_DONE)
        {
            Sleep(kReloadPause);
            bResult = SetDeviceState(szPattern, DICS_ENABLE) == OSTRIX_STATE_DONE;
        }
    }
    else
    {
        bResult = SetDeviceState(szPattern, cmdPara == 1 ? DICS_DISABLE : DICS_ENABLE) == OSTRIX_STATE_DONE;
    }

    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSUNLOCK, szLabel);
    LeaveCriticalSection(&sgCSLock);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO,
               bResult ? "rwReloadTARNODriver = True" : "rwReloadTARNODriver = false");
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return bResult ? TRUE : FALSE;
}
