// A host process for the library tests. Commands (first argument):
//   load <dll>           print "pid <p> tid <t>", load the DLL (print "loaded" or "error <n>"),
//                        unload it (print "freed")
//   load-exit <dll>      the same without unloading: the process ends with the DLL loaded
//   load-blocked <dll>   like load, after taking both log mutex names for events
//   settings             start and stop the library object in this process; print
//                        "mode <m> interval <i> message <n> thread <t>"
//   tables <port>        start it, fill both port tables at <port>, print the two objects'
//                        addresses, then stop it
//   log <path> <mode> <count>   write <count> lines through a CLogWriter once "go" arrives
//   log-one <path>              print "ready", then write one line through a CLogWriter
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "LogWriter.h"
#include "OstrixApp.h"
#include "OstrixComm.h"
#include "OstrixCommWmi.h"

static int Load(const char* dll, bool unload)
{
    printf("pid %u tid %u\n", static_cast<unsigned>(GetCurrentProcessId()),
           static_cast<unsigned>(GetCurrentThreadId()));
    HMODULE module = LoadLibraryA(dll);
    if (module == NULL)
    {
        printf("error %u\n", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    printf("loaded\n");
    if (unload)
    {
        FreeLibrary(module);
        printf("freed\n");
    }
    return 0;
}

int main(int argc, char* argv[])
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 2)
    {
        return 2;
    }
    const char* command = argv[1];
    if (strcmp(command, "load") == 0 && argc == 3)
    {
        return Load(argv[2], true);
    }
    if (strcmp(command, "load-exit") == 0 && argc == 3)
    {
        return Load(argv[2], false);
    }
    if (strcmp(command, "load-blocked") == 0 && argc == 3)
    {
        HANDLE first = CreateEventA(NULL, TRUE, FALSE, LOG_MUTEX_NAME);
        HANDLE second = CreateEventA(NULL, TRUE, FALSE, LOG_MUTEX_FALLBACK_NAME);
        int result = Load(argv[2], true);
        CloseHandle(first);
        CloseHandle(second);
        return result;
    }
    if (strcmp(command, "settings") == 0)
    {
        if (!OstrixProcessAttach(NULL))
        {
            return 3;
        }
        printf("mode %d interval %u message %u thread %u\n", sgLogWriter->GetMode(),
               static_cast<unsigned>(theApp->m_dwPollingInterval), sgOstrixEventMessage,
               static_cast<unsigned>(theApp->m_dwMainThreadID));
        OstrixProcessDetach();
        return 0;
    }
    if (strcmp(command, "tables") == 0 && argc == 3)
    {
        int port = atoi(argv[2]);
        if (!OstrixProcessAttach(NULL))
        {
            return 3;
        }
        theApp->m_pPortStatus[port] = new COstrixComm;
        theApp->m_pPortStatusWmi[port] = new COstrixCommWmi(theApp->m_dwPollingInterval);
        printf("%016llX %016llX\n",
               static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(theApp->m_pPortStatus[port])),
               static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(theApp->m_pPortStatusWmi[port])));
        OstrixProcessDetach();
        return 0;
    }
    if (strcmp(command, "log") == 0 && argc == 5)
    {
        CLogWriter writer(argv[2], atoi(argv[3]));
        int count = atoi(argv[4]);
        char line[32];
        if (fgets(line, sizeof(line), stdin) == NULL)
        {
            return 4;
        }
        char text[64];
        for (int i = 0; i < count; ++i)
        {
            snprintf(text, sizeof(text), "line %d of %u", i, static_cast<unsigned>(GetCurrentProcessId()));
            writer.Write(LOG_LEVEL_INFO, text, LOG_TAG_INFO, i);
        }
        return 0;
    }
    if (strcmp(command, "log-one") == 0 && argc == 3)
    {
        CLogWriter writer(argv[2], LOG_MODE_FILE_INFO);
        printf("ready\n");
        return writer.Write(LOG_LEVEL_INFO, "child", LOG_TAG_INFO, 1) == 1 ? 0 : 5;
    }
    return 2;
}
