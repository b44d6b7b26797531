// Line events as an application waits for them, each against a baseline measured in the same run:
//
//  - Broadcast path: the time from pulling a reader out (Machine::Detach, which runs the driver's
//    surprise removal and removal) to the application's callback, pumped on its main thread,
//    against the removal alone with no library loaded. Median and worst over many plug cycles.
//  - WMI path: the polls (100 ms each on the machine's clock) from the removal until the callback,
//    against the one poll an ideal poller needs.
#include <windows.h>
#include <oleauto.h>

#include <Ostrix.h>
#include <winsim/user.h>

#include "machine/Machine.h"

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using winsim::machine::Machine;

typedef SHORT(WINAPI* PFN_SETLINEEVENTPROC)(LPCSTR, USBCOMEventProc*, LONG_PTR, LONG, SHORT*);

constexpr int kCycles = 200;
constexpr int kWmiCycles = 40;

Clock::time_point g_callbackAt;
int g_callbacks = 0;

SHORT CALLBACK OnEvent(LONG, LONG lEvent, LONG_PTR)
{
    if (lEvent == EVT_USB_OFFLINE)
    {
        g_callbackAt = Clock::now();
        ++g_callbacks;
    }
    return 0;
}

void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

struct Stats
{
    double median;
    double worst;
};

Stats Summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.back()};
}

winsim::machine::ReaderSpec Reader()
{
    winsim::machine::ReaderSpec reader;
    reader.serialNumber = u"TR0001";
    return reader;
}

// Microseconds from each removal to the moment `seen` says it was seen. The reader is plugged in
// before and out after.
// *delivery gets the part after Detach returned.
template <typename Seen>
std::vector<double> Removals(Machine& machine, Seen seen, std::vector<double>* delivery)
{
    std::vector<double> samples;
    winsim::machine::Device device = machine.Attach(Reader());
    for (int i = 0; i < kCycles; ++i)
    {
        Clock::time_point start = Clock::now();
        machine.Detach(device);
        Clock::time_point removed = Clock::now();
        Clock::time_point end = seen(removed);
        samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        delivery->push_back(std::chrono::duration<double, std::micro>(end - removed).count());
        device = machine.Attach(Reader());
        Pump();
    }
    machine.Detach(device);
    Pump();
    return samples;
}

} // namespace

int main()
{
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    {
        std::ofstream ini(self.parent_path() / "Ostrix.ini", std::ios::binary);
        ini << "[Log]\r\nLogging=-1\r\n[Wmi]\r\nPollingInterval=100\r\n";
    }

    // Baseline: the removal alone.
    std::vector<double> baseline;
    std::vector<double> noDelivery;
    {
        Machine machine;
        machine.InstallPackage(std::string(TARNOCOM_PACKAGE_DIR) + "/TARNOCOM.inf");
        baseline = Removals(
            machine, [](Clock::time_point removed) { return removed; }, &noDelivery);
    }

    // The removal and the broadcast callback.
    std::vector<double> broadcast;
    std::vector<double> delivery;
    std::vector<int> polls;
    {
        Machine machine;
        machine.InstallPackage(std::string(TARNOCOM_PACKAGE_DIR) + "/TARNOCOM.inf");
        HMODULE module = LoadLibraryA(winsim::ToWindowsPath(OSTRIX_DLL).c_str());
        if (module == NULL)
        {
            fprintf(stderr, "Ostrix_x64.dll did not load (%lu)\n",
                    static_cast<unsigned long>(GetLastError()));
            return 1;
        }
        auto setLineEventProc = reinterpret_cast<PFN_SETLINEEVENTPROC>(
            reinterpret_cast<void*>(GetProcAddress(module, "rwSetUSBCOMLineEventProc")));
        auto setWmiLineEventProc = reinterpret_cast<PFN_SETLINEEVENTPROC>(
            reinterpret_cast<void*>(GetProcAddress(module, "rwSetUSBCOMWMILineEventProc")));
        SHORT status = 0;
        winsim::machine::Device first = machine.Attach(Reader());
        setLineEventProc("COM3", OnEvent, 0, EVT_USB_OFFLINE, &status);
        machine.Detach(first);
        Pump();
        broadcast = Removals(
            machine,
            [](Clock::time_point removed) {
                int before = g_callbacks;
                while (g_callbacks == before)
                {
                    Pump();
                }
                return g_callbackAt > removed ? g_callbackAt : removed;
            },
            &delivery);
        setLineEventProc("COM3", NULL, 0, EVT_USB_OFFLINE, &status);

        // WMI: count the polls from each removal to the callback.
        setWmiLineEventProc("COM3", OnEvent, 0, EVT_USB_OFFLINE, &status);
        winsim::machine::Device device = machine.Attach(Reader());
        machine.WaitForQuiescence();
        for (int i = 0; i < kWmiCycles; ++i)
        {
            machine.AdvanceClock(std::chrono::milliseconds(100));
            machine.WaitForQuiescence();
            Pump();
            int before = g_callbacks;
            machine.Detach(device);
            int n = 0;
            while (g_callbacks == before && n < 50)
            {
                machine.AdvanceClock(std::chrono::milliseconds(100));
                machine.WaitForQuiescence();
                Pump();
                ++n;
            }
            polls.push_back(n);
            device = machine.Attach(Reader());
            machine.AdvanceClock(std::chrono::milliseconds(100));
            machine.WaitForQuiescence();
            Pump();
        }
        setWmiLineEventProc("COM3", NULL, 0, EVT_USB_OFFLINE, &status);
        machine.Detach(device);
        FreeLibrary(module);
    }

    Stats base = Summarise(baseline);
    Stats seen = Summarise(broadcast);
    Stats delivered = Summarise(delivery);
    std::vector<double> pollSamples(polls.begin(), polls.end());
    Stats poll = Summarise(pollSamples);
    printf("line events (%d plug cycles; %d for WMI)\n", kCycles, kWmiCycles);
    printf("  %-44s %10s %10s\n", "", "median", "worst");
    printf("  %-44s %8.0f us %8.0f us\n", "removal alone (baseline)", base.median, base.worst);
    printf("  %-44s %8.0f us %8.0f us\n", "removal to broadcast callback", seen.median, seen.worst);
    printf("  %-44s %10.2f %10.2f\n", "ratio to the baseline", seen.median / base.median,
           seen.worst / base.worst);
    printf("  %-44s %8.0f us %8.0f us\n", "of which delivery after the removal returned", delivered.median,
           delivered.worst);
    printf("  %-44s %10.0f %10.0f\n", "WMI: polls from removal to callback", poll.median, poll.worst);
    printf("  %-44s %10.2f %10.2f\n", "ratio to one poll (baseline)", poll.median / 1.0, poll.worst / 1.0);
    return 0;
}
