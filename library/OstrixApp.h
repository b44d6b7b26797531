// The library object: settings, port tables and the identity of the main thread, for the whole
// life of the loaded library.
#pragma once

#include <windows.h>

#include "framework/Application.h"
#include "framework/Sync.h"

class COstrixComm;
class COstrixCommWmi;

// Port tables are indexed by COM port number; 1..256 are used, index 0 never.
#define OSTRIX_PORT_TABLE_SIZE 257

// Settings file, beside the host process's executable.
#define OSTRIX_INI_FILE_NAME         "Ostrix.ini"
#define OSTRIX_DEFAULT_LOG_FILE      ".\\Ostrix.log"
#define OSTRIX_DEFAULT_POLL_INTERVAL 100

// Name of the library's registered window message.
#define OSTRIX_EVENT_MESSAGE_NAME "OSTRIX.DLL:EVENT:Qv7pLm2XrT9sWd4KbN8e"

class COstrix : public CApplication
{
  public:
    COstrix();
    ~COstrix() override;

    BOOL InitInstance() override;
    int ExitInstance() override;

    // Presence test: *piPortOnLine 1 when a present USB device has exactly this "PortName".
    // Returns 1 when the test ran to its end, 0 on failure (*piPortOnLine 0 then).
    LONG GetLineStateProc(LPCSTR strPortNo, SHORT* piPortOnLine);

    // Creates the port's notification object on the main thread: 0 created, 101 it exists, 140 the
    // other mechanism holds a callback for the port, 1 not on the main thread.
    SHORT CreateCOstrixComm(int iPortNo);
    COstrixComm* GetOstrixCommAdr(int iPortNo);
    SHORT CreateCOstrixCommWmi(int iPortNo);
    COstrixCommWmi* GetOstrixCommWmiAdr(int iPortNo);

    DWORD m_dwMainThreadID;
    COstrixComm* m_pPortStatus[OSTRIX_PORT_TABLE_SIZE];
    COstrixCommWmi* m_pPortStatusWmi[OSTRIX_PORT_TABLE_SIZE];
    DWORD m_dwPollingInterval;

    // Builds the settings file path from the executable's module path: its drive and folder
    // joined with the settings file name.
    static void GetSettingsPath(LPCSTR pszModulePath, LPSTR pszIniPath, size_t cchIniPath);

  private:
    // CreateCOstrixComm and CreateCOstrixCommWmi: the checks against both tables and the creation
    // of the object make() returns, on the main thread only.
    template <typename Object, typename Other, typename Make>
    SHORT CreatePortObject(LPCSTR pszLabel, LPCSTR pszExistsFormat, Object** ppTable, Other** ppOtherTable,
                           int iPortNo, Make make);

    // Guards the entries of the two port tables: rwInitializeEvent creates objects without
    // sgCSLock while other threads look entries up under it. Taken after sgCSLock, before any
    // object's lock.
    CCriticalSection m_csTables;
};

// The library object, NULL while the library is not loaded.
extern COstrix* theApp;

// Serialises the library's exported calls within the process.
extern CRITICAL_SECTION sgCSLock;

// The number of the library's registered window message.
extern UINT sgOstrixEventMessage;

// Library load and unload, called by the entry point at process attach and detach.
BOOL OstrixProcessAttach(HINSTANCE hInstance);
void OstrixProcessDetach();
