// The client library as an application sees it, on a simulated machine with the driver package:
// the reader's ports, a callback by the system's device broadcasts on one port and one by WMI
// polling on another, while readers are pulled out and plugged back.
//   tarnocom-app-demo [driver package folder]
// The library's settings ("Ostrix.ini", log on) are written beside this program; its log goes to
// a temporary folder, of which the demo prints an excerpt.
#include <windows.h>
#include <oleauto.h>

#include <Ostrix.h>
#include <winsim/user.h>

#include "machine/Machine.h"

#include "ProductConstants.h"

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using winsim::machine::Machine;
using winsim::machine::ReaderSpec;

typedef LONG(WINAPI* PFN_GETUSBPORTNAMES)(LPCSTR, BSTR*, BSTR*, SHORT*);
typedef SHORT(WINAPI* PFN_SETLINEEVENTPROC)(LPCSTR, USBCOMEventProc*, LONG_PTR, LONG, SHORT*);

static const char* EventName(LONG lEvent)
{
    return lEvent == EVT_USB_OFFLINE ? "EVT_USB_OFFLINE (pulled out)" : "EVT_USB_ONLINE (plugged in)";
}

static SHORT CALLBACK OnBroadcastEvent(LONG lPortNo, LONG lEvent, LONG_PTR pParam)
{
    printf("  callback (device broadcast): COM%ld, %s, pParam %lld, thread %lu\n", static_cast<long>(lPortNo),
           EventName(lEvent), static_cast<long long>(pParam),
           static_cast<unsigned long>(GetCurrentThreadId()));
    return 0;
}

static SHORT CALLBACK OnWmiEvent(LONG lPortNo, LONG lEvent, LONG_PTR pParam)
{
    printf("  callback (WMI polling):      COM%ld, %s, pParam %lld, thread %lu\n", static_cast<long>(lPortNo),
           EventName(lEvent), static_cast<long long>(pParam),
           static_cast<unsigned long>(GetCurrentThreadId()));
    return 0;
}

static void Heading(const char* text)
{
    printf("\n== %s ==\n\n", text);
}

// Runs the messages waiting for this thread (the library's callbacks run from here).
static void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Lets the machine's clock run one polling interval (100 ms) and the polling threads poll.
static void OnePoll(Machine& machine)
{
    machine.AdvanceClock(std::chrono::milliseconds(100));
    machine.WaitForQuiescence();
    Pump();
}

static std::string Text(BSTR bstr)
{
    return bstr == NULL ? "(null)" : std::string(reinterpret_cast<const char*>(bstr), SysStringByteLen(bstr));
}

int main(int argc, char** argv)
{
    std::string package = argc > 1 ? argv[1] : TARNOCOM_PACKAGE_DIR;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("ostrix-demo-" + std::to_string(getpid()));
    std::filesystem::create_directories(work);
    {
        std::ofstream ini(self.parent_path() / "Ostrix.ini", std::ios::binary);
        ini << "[Log]\r\nLogging=0\r\nLogFileName=.\\Ostrix.log\r\n[Wmi]\r\nPollingInterval=100\r\n";
    }

    Machine machine;
    machine.InstallPackage(package + "/TARNOCOM.inf");
    ReaderSpec first;
    first.serialNumber = u"TR0001";
    ReaderSpec second;
    second.serialNumber = u"TR0002";
    winsim::machine::Device one = machine.Attach(first);
    winsim::machine::Device two = machine.Attach(second);
    machine.Detach(two);
    SetCurrentDirectoryA(winsim::ToWindowsPath(work.string()).c_str());

    Heading("An application loads Ostrix_x64.dll on its main thread");
    HMODULE library = LoadLibraryA(winsim::ToWindowsPath(OSTRIX_DLL).c_str());
    if (library == NULL)
    {
        fprintf(stderr, "Ostrix_x64.dll did not load (error %lu)\n",
                static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    auto getPortNames = reinterpret_cast<PFN_GETUSBPORTNAMES>(
        reinterpret_cast<void*>(GetProcAddress(library, "rwGetUSBPortNames")));
    auto setLineEventProc = reinterpret_cast<PFN_SETLINEEVENTPROC>(
        reinterpret_cast<void*>(GetProcAddress(library, "rwSetUSBCOMLineEventProc")));
    auto setWmiLineEventProc = reinterpret_cast<PFN_SETLINEEVENTPROC>(
        reinterpret_cast<void*>(GetProcAddress(library, "rwSetUSBCOMWMILineEventProc")));
    printf(
        "Main thread %lu. Readers installed: TR0001 (plugged in), TR0002 (plugged in once, now unplugged).\n",
        static_cast<unsigned long>(GetCurrentThreadId()));

    Heading("rwGetUSBPortNames(\"" TARNO_PRODUCT_ID_TEXT "\")");
    BSTR names = NULL;
    BSTR online = NULL;
    SHORT count = 0;
    LONG result = getPortNames(TARNO_PRODUCT_ID_TEXT, &names, &online, &count);
    printf("result %ld, %d ports: \"%s\" (BSTR of %u bytes), online \"%s\" (%u bytes)\n",
           static_cast<long>(result), count, Text(names).c_str(), SysStringByteLen(names),
           Text(online).c_str(), SysStringByteLen(online));
    SysFreeString(names);
    SysFreeString(online);

    Heading("Callbacks: COM3 by device broadcasts, COM4 by WMI polling (both events)");
    SHORT status = 0;
    SHORT code = setLineEventProc("COM3", OnBroadcastEvent, 3, EVT_USB_OFFLINE | EVT_USB_ONLINE, &status);
    printf("rwSetUSBCOMLineEventProc(\"COM3\") = %d, present now: %d\n", code, status);
    code = setWmiLineEventProc("COM4", OnWmiEvent, 4, EVT_USB_OFFLINE | EVT_USB_ONLINE, &status);
    printf("rwSetUSBCOMWMILineEventProc(\"COM4\") = %d, present now: %d\n", code, status);
    machine.WaitForQuiescence(); // the first poll, which reports nothing

    Heading("Pulling out TR0001 (COM3)");
    machine.Detach(one);
    Pump();
    Heading("Plugging TR0002 (COM4) back in; the next poll sees it");
    two = machine.Attach(second);
    Pump();
    OnePoll(machine);
    Heading("Plugging TR0001 (COM3) back in");
    one = machine.Attach(first);
    Pump();
    Heading("Pulling out TR0002 (COM4); the next poll finds it gone");
    machine.Detach(two);
    Pump();
    OnePoll(machine);

    setLineEventProc("COM3", NULL, 0, 3, &status);
    setWmiLineEventProc("COM4", NULL, 0, 3, &status);
    FreeLibrary(library);

    Heading("The library's log (Ostrix.log) for COM3's removal");
    std::ifstream log(work / "Ostrix.log", std::ios::binary);
    std::string line;
    bool inRemoval = false;
    while (std::getline(log, line))
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        if (line.find("wParam_val = 32772") != std::string::npos)
        {
            inRemoval = true;
        }
        if (inRemoval)
        {
            printf("  %s\n", line.c_str());
            if (line.find("Exit    : COstrixComm::OnEventNotify") != std::string::npos)
            {
                break;
            }
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);
    return 0;
}
