#include "OstrixApp.h"

#include <Ostrix.h>

#include <strsafe.h>
#include <string.h>

#include "LogWriter.h"
#include "OstrixComm.h"
#include "OstrixCommWmi.h"

// All of these are constant-initialised; the entry point builds what they point to.
COstrix* theApp = NULL;
CRITICAL_SECTION sgCSLock;
UINT sgOstrixEventMessage = 0;

void COstrix::GetSettingsPath(LPCSTR pszModulePath, LPSTR pszIniPath, size_t cchIniPath)
{
    // Drive and folder are everything up to the last separator (or the drive's colon).
    size_t cchFolder = 0;
    for (size_t i = 0; pszModulePath[i] != 0; ++i)
    {
        if (pszModulePath[i] == '\\' || pszModulePath[i] == '/' || pszModulePath[i] == ':')
        {
            cchFolder = i + 1;
        }
    }
    if (cchFolder >= cchIniPath)
    {
        cchFolder = 0;
    }
    memcpy(pszIniPath, pszModulePath, cchFolder);
    pszIniPath[cchFolder] = 0;
    StringCchCatA(pszIniPath, cchIniPath, OSTRIX_INI_FILE_NAME);
}

COstrix::COstrix() : m_dwMainThreadID(0), m_dwPollingInterval(OSTRIX_DEFAULT_POLL_INTERVAL)
{
    char szModulePath[MAX_PATH + 1] = {0};
    GetModuleFileNameA(NULL, szModulePath, MAX_PATH);
    char szIniPath[MAX_PATH + 16];
    GetSettingsPath(szModulePath, szIniPath, sizeof(szIniPath));

    int iLogging = static_cast<int>(GetPrivateProfileIntA("Log", "Logging", LOG_MODE_OFF, szIniPath));
    if (iLogging < LOG_MODE_FILE_INFO || iLogging > LOG_MODE_DEBUG_ERROR)
    {
        iLogging = LOG_MODE_OFF;
    }
    char szLogFile[MAX_PATH] = {0};
    GetPrivateProfileStringA("Log", "LogFileName", OSTRIX_DEFAULT_LOG_FILE, szLogFile, MAX_PATH, szIniPath);
    sgLogWriter = new CLogWriter(szLogFile, iLogging);

    m_dwPollingInterval = static_cast<DWORD>(
        GetPrivateProfileIntA("Wmi", "PollingInterval", OSTRIX_DEFAULT_POLL_INTERVAL, szIniPath));

    m_dwMainThreadID = 0;
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "m_dwMainThreadID = %lu", m_dwMainThreadID);
    for (int i = 0; i < OSTRIX_PORT_TABLE_SIZE; ++i)
    {
        m_pPortStatus[i] = NULL;
        m_pPortStatusWmi[i] = NULL;
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "m_pPortStatus = %p m_pPortStatusWmi = %p", m_pPortStatus[i],
                   m_pPortStatusWmi[i]);
    }
    m_dwMainThreadID = GetCurrentThreadId();
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Mainthread ID = %ld", m_dwMainThreadID);
}

COstrix::~COstrix() {}

BOOL COstrix::InitInstance()
{
    return CApplication::InitInstance();
}

int COstrix::ExitInstance()
{
    for (int i = 0; i < OSTRIX_PORT_TABLE_SIZE; ++i)
    {
        if (m_pPortStatus[i] != NULL)
        {
            OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "m_pPortStatus[%d] not NULL!! m_pPortStatus = %p", i,
                       m_pPortStatus[i]);
            delete m_pPortStatus[i];
            m_pPortStatus[i] = NULL;
        }
        if (m_pPortStatusWmi[i] != NULL)
        {
            OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "m_pPortStatusWmi[%d] not NULL!! m_pPortStatusWmi = %p",
                       i, m_pPortStatusWmi[i]);
            // An object whose polling thread still runs stays alive for it: the thread stops at
            // its next poll, and freeing the object under it would leave it reading freed memory.
            if (m_pPortStatusWmi[i]->StopForUnload())
            {
                delete m_pPortStatusWmi[i];
            }
            m_pPortStatusWmi[i] = NULL;
        }
    }
    // The writer's destructor appends the closing blank line.
    CLogWriter* pLogWriter = sgLogWriter;
    sgLogWriter = NULL;
    delete pLogWriter;
    return CApplication::ExitInstance();
}

BOOL OstrixProcessAttach(HINSTANCE hInstance)
{
    theApp = new COstrix();
    InitializeCriticalSection(&sgCSLock);
    sgOstrixEventMessage = RegisterWindowMessageA(OSTRIX_EVENT_MESSAGE_NAME);
    return FwStartApp(hInstance);
}

void OstrixProcessDetach()
{
    if (theApp == NULL)
    {
        return;
    }
    FwStopApp();
    DeleteCriticalSection(&sgCSLock);
    delete theApp;
    theApp = NULL;
}
