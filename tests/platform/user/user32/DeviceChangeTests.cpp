// WM_DEVICECHANGE broadcasts on a machine with the driver package installed: the port's arrival
// and removal reach every top-level window, interface events the windows registered for them.
#include <windows.h>
#include <dbt.h>

#include "machine/Machine.h"

#include "TableCases.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace
{

const GUID ComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// GUID_DEVINTERFACE_HID: no device of the machine has it.
const GUID OtherInterface = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// One WM_DEVICECHANGE as a window saw it.
struct Broadcast
{
    WPARAM event;
    DWORD deviceType;
    DWORD size;
    std::string name;
    GUID classGuid;
    DWORD thread;
};

struct Recorder
{
    std::mutex lock;
    std::vector<Broadcast> broadcasts;
    bool quitOnDeviceChange = false;

    std::vector<Broadcast> Seen()
    {
        std::lock_guard<std::mutex> guard(lock);
        return broadcasts;
    }
    // "arrival port COM3", "removal interface \\?\USB#...", in order.
    std::vector<std::string> Summary()
    {
        std::vector<std::string> lines;
        for (const Broadcast& b : Seen())
        {
            std::string line = b.event == DBT_DEVICEARRIVAL          ? "arrival "
                               : b.event == DBT_DEVICEREMOVECOMPLETE ? "removal "
                                                                     : "other ";
            line += b.deviceType == DBT_DEVTYP_PORT              ? "port " + b.name
                    : b.deviceType == DBT_DEVTYP_DEVICEINTERFACE ? "interface"
                                                                 : "other";
            lines.push_back(line);
        }
        return lines;
    }
};

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
    {
        SetWindowLongPtrA(
            hwnd, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
    }
    auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && recorder != nullptr)
    {
        Broadcast b{wParam, 0, 0, "", GUID{}, GetCurrentThreadId()};
        if (auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(lParam))
        {
            b.deviceType = header->dbch_devicetype;
            b.size = header->dbch_size;
            if (header->dbch_devicetype == DBT_DEVTYP_PORT)
            {
                b.name = reinterpret_cast<DEV_BROADCAST_PORT_A*>(header)->dbcp_name;
            }
            else if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
            {
                auto* di = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
                b.name = di->dbcc_name;
                b.classGuid = di->dbcc_classguid;
            }
        }
        std::lock_guard<std::mutex> guard(recorder->lock);
        recorder->broadcasts.push_back(b);
        if (recorder->quitOnDeviceChange)
        {
            PostQuitMessage(0);
        }
        return TRUE;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

constexpr char ClassName[] = "DeviceChangeTests.Window";

void RegisterWindowClass()
{
    static const bool registered = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = RecordingProc;
        wc.lpszClassName = ClassName;
        return RegisterClassA(&wc) != 0;
    }();
    ASSERT_TRUE(registered);
}

HWND CreateHiddenWindow(Recorder* recorder, HWND parent = nullptr)
{
    return CreateWindowExA(0, ClassName, "", 0, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, parent, nullptr, nullptr,
                           recorder);
}

HDEVNOTIFY RegisterInterface(HWND hwnd, const GUID& classGuid, DWORD flags = DEVICE_NOTIFY_WINDOW_HANDLE)
{
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = classGuid;
    return RegisterDeviceNotificationA(hwnd, &filter, flags);
}

// Delivers what waits for the calling thread's windows.
void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        DispatchMessageA(&msg);
    }
}

class DeviceChangeTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        machine = std::make_unique<winsim::machine::Machine>();
        machine->InstallPackage(std::filesystem::path(TARNOCOM_PACKAGE_DIR) / "TARNOCOM.inf");
        RegisterWindowClass();
    }
    void TearDown() override
    {
        for (HWND hwnd : windows)
        {
            DestroyWindow(hwnd);
        }
        machine.reset();
    }

    HWND Window(Recorder* recorder, HWND parent = nullptr)
    {
        HWND hwnd = CreateHiddenWindow(recorder, parent);
        windows.push_back(hwnd);
        return hwnd;
    }

    winsim::machine::Device Plug()
    {
        winsim::machine::ReaderSpec reader;
        reader.serialNumber = u"DC0001";
        return machine->Attach(reader);
    }

    std::unique_ptr<winsim::machine::Machine> machine;
    std::vector<HWND> windows;
};

TEST_F(DeviceChangeTest, ThePortsArrivalAndRemovalReachAWindowThatRegisteredNothing)
{
    Recorder plain;
    Recorder messageOnly;
    ASSERT_NE(Window(&plain), nullptr);
    ASSERT_NE(Window(&messageOnly, HWND_MESSAGE), nullptr);

    winsim::machine::Device device = Plug();
    EXPECT_TRUE(plain.Seen().empty()); // delivered through the message queue only
    Pump();
    EXPECT_EQ(plain.Summary(), (std::vector<std::string>{"arrival port COM3"}));
    machine->Detach(device);
    Pump();
    EXPECT_EQ(plain.Summary(), (std::vector<std::string>{"arrival port COM3", "removal port COM3"}));
    std::vector<Broadcast> seen = plain.Seen();
    EXPECT_EQ(seen[0].size, static_cast<DWORD>(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + sizeof("COM3")));
    EXPECT_EQ(seen[0].thread, GetCurrentThreadId());
    // Message-only windows get no broadcasts.
    EXPECT_TRUE(messageOnly.Seen().empty());
}

TEST_F(DeviceChangeTest, InterfaceBroadcastsGoToTheWindowsRegisteredForTheirClass)
{
    Recorder comPort;
    Recorder other;
    Recorder all;
    Recorder messageOnly;
    HWND comPortWindow = Window(&comPort);
    HDEVNOTIFY comPortNotification = RegisterInterface(comPortWindow, ComPortInterface);
    ASSERT_NE(comPortNotification, nullptr);
    ASSERT_NE(RegisterInterface(Window(&other), OtherInterface), nullptr);
    ASSERT_NE(RegisterInterface(Window(&all), OtherInterface,
                                DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES),
              nullptr);
    ASSERT_NE(RegisterInterface(Window(&messageOnly, HWND_MESSAGE), ComPortInterface), nullptr);

    winsim::machine::Device device = Plug();
    Pump();
    // The driver enables the port's interface while its device starts, before the arrival.
    EXPECT_EQ(comPort.Summary(), (std::vector<std::string>{"arrival interface", "arrival port COM3"}));
    EXPECT_EQ(other.Summary(), (std::vector<std::string>{"arrival port COM3"}));
    // All classes: the port's interface and the USB device interface the hub enables for the reader.
    EXPECT_EQ(all.Summary(),
              (std::vector<std::string>{"arrival interface", "arrival interface", "arrival port COM3"}));
    EXPECT_EQ(messageOnly.Summary(), (std::vector<std::string>{"arrival interface"}));
    Broadcast arrival = comPort.Seen()[0];
    EXPECT_TRUE(IsEqualGUID(arrival.classGuid, ComPortInterface));
    EXPECT_EQ(arrival.name.substr(0, 4), "\\\\?\\");
    EXPECT_NE(arrival.name.find("DC0001"), std::string::npos);
    EXPECT_EQ(arrival.size, static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) +
                                               arrival.name.size() + 1));

    // Unregistered: the port broadcast still comes, the interface one no more.
    ASSERT_TRUE(UnregisterDeviceNotification(comPortNotification));
    machine->Detach(device);
    Pump();
    EXPECT_EQ(comPort.Summary(),
              (std::vector<std::string>{"arrival interface", "arrival port COM3", "removal port COM3"}));
    EXPECT_EQ(messageOnly.Summary(), (std::vector<std::string>{"arrival interface", "removal interface"}));
    EXPECT_EQ(messageOnly.Seen()[1].name, arrival.name);
}

struct NotAPortCase
{
    const char* name;
    const char16_t* key;   // below the device's Enum key
    const char16_t* value; // changed to another class, or deleted
};

TEST_F(DeviceChangeTest, ADeviceThatIsNoPortWhenItsRemovalIsDeliveredBroadcastsNoPort)
{
    const NotAPortCase cases[] = {
        {"another setup class", u"", u"ClassGUID"},
        {"no PortName", u"\\Device Parameters", u"PortName"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        HWND hwnd = CreateHiddenWindow(&recorder);
        ASSERT_NE(hwnd, nullptr);
        winsim::machine::Device device = Plug();
        Pump();
        ASSERT_EQ(recorder.Summary(), (std::vector<std::string>{"arrival port COM3"}));

        std::u16string key = u"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + device.InstancePath() + c.key;
        std::optional<winsim::machine::RegistryValue> saved = machine->StoredRegistryValue(key, c.value);
        ASSERT_TRUE(saved);
        if (std::u16string(c.value) == u"ClassGUID")
        {
            machine->SetRegistryValue(
                key, c.value,
                winsim::machine::RegistryValue::String(u"{4D36E96D-E325-11CE-BFC1-08002BE10318}"));
        }
        else
        {
            ASSERT_TRUE(machine->DeleteRegistryValue(key, c.value));
        }
        machine->Detach(device);
        Pump();
        EXPECT_EQ(recorder.Summary(), (std::vector<std::string>{"arrival port COM3"}));
        machine->SetRegistryValue(key, c.value, *saved);
        DestroyWindow(hwnd);
    }
}

struct SecondThreadCase
{
    const char* name;
    bool testThreadPumpsFirst; // the test thread takes the events and queues them for the other
};

TEST_F(DeviceChangeTest, AWindowOfAThreadThatDoesNotPumpGetsTheBroadcastWhenItPumps)
{
    const SecondThreadCase cases[] = {
        {"the test thread delivers", true},
        {"the window's thread delivers", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Recorder mine;
        Recorder theirs;
        HWND myWindow = CreateHiddenWindow(&mine);
        ASSERT_NE(myWindow, nullptr);
        std::promise<void> created;
        std::promise<void> pump;
        std::atomic<DWORD> theirThread{0};
        std::thread other([&] {
            theirThread = GetCurrentThreadId();
            HWND hwnd = CreateHiddenWindow(&theirs);
            created.set_value();
            pump.get_future().wait();
            Pump();
            DestroyWindow(hwnd);
        });
        created.get_future().wait();

        winsim::machine::Device device = Plug();
        if (c.testThreadPumpsFirst)
        {
            Pump();
            EXPECT_EQ(mine.Summary(), (std::vector<std::string>{"arrival port COM3"}));
        }
        EXPECT_TRUE(theirs.Seen().empty());
        pump.set_value();
        other.join();
        EXPECT_EQ(theirs.Summary(), (std::vector<std::string>{"arrival port COM3"}));
        ASSERT_EQ(theirs.Seen().size(), 1u);
        EXPECT_EQ(theirs.Seen()[0].thread, theirThread.load());
        Pump();
        EXPECT_EQ(mine.Summary(), (std::vector<std::string>{"arrival port COM3"}));
        DestroyWindow(myWindow);
        machine->Detach(device);
        Pump();
    }
}

TEST_F(DeviceChangeTest, ABlockedMessageLoopWakesForADeviceArrival)
{
    Recorder recorder;
    recorder.quitOnDeviceChange = true;
    std::promise<void> created;
    BOOL result = -1;
    std::thread loop([&] {
        HWND hwnd = CreateHiddenWindow(&recorder);
        created.set_value();
        MSG msg;
        while ((result = GetMessageA(&msg, nullptr, 0, 0)) > 0)
        {
            DispatchMessageA(&msg);
        }
        DestroyWindow(hwnd);
    });
    created.get_future().wait();
    Plug();
    loop.join();
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(recorder.Summary(), (std::vector<std::string>{"arrival port COM3"}));
}

struct RegistrationCase
{
    const char* name;
    bool validWindow;
    bool withFilter;
    DWORD size;
    DWORD deviceType;
    DWORD flags;
    DWORD error;
};

TEST_F(DeviceChangeTest, RegistrationChecksItsParameters)
{
    const DWORD full = sizeof(DEV_BROADCAST_DEVICEINTERFACE_A);
    const RegistrationCase cases[] = {
        {"no filter", true, false, full, DBT_DEVTYP_DEVICEINTERFACE, 0, ERROR_INVALID_DATA},
        {"a filter too small", true, true, full - 1, DBT_DEVTYP_DEVICEINTERFACE, 0, ERROR_INVALID_DATA},
        {"a port filter", true, true, full, DBT_DEVTYP_PORT, 0, ERROR_INVALID_DATA},
        {"all classes of a port filter", true, true, full, DBT_DEVTYP_PORT,
         DEVICE_NOTIFY_ALL_INTERFACE_CLASSES, ERROR_INVALID_PARAMETER},
        {"unknown flags", true, true, full, DBT_DEVTYP_DEVICEINTERFACE, 0x10, ERROR_INVALID_PARAMETER},
        {"a service handle", true, true, full, DBT_DEVTYP_DEVICEINTERFACE, DEVICE_NOTIFY_SERVICE_HANDLE,
         ERROR_INVALID_HANDLE},
        {"no window", false, true, full, DBT_DEVTYP_DEVICEINTERFACE, 0, ERROR_INVALID_WINDOW_HANDLE},
    };
    Recorder recorder;
    HWND hwnd = Window(&recorder);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = c.size;
        filter.dbcc_devicetype = c.deviceType;
        filter.dbcc_classguid = ComPortInterface;
        SetLastError(0);
        HDEVNOTIFY notification = RegisterDeviceNotificationA(
            c.validWindow ? hwnd : reinterpret_cast<HWND>(0x4), c.withFilter ? &filter : nullptr, c.flags);
        EXPECT_EQ(notification, nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    HDEVNOTIFY notification = RegisterInterface(hwnd, ComPortInterface);
    ASSERT_NE(notification, nullptr);
    EXPECT_TRUE(UnregisterDeviceNotification(notification));
    EXPECT_FALSE(UnregisterDeviceNotification(notification));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
