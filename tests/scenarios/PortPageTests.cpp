// The reader's port settings page (Cassel.dll) as a user meets it in Device Manager: the
// properties of the reader's port opened on a Japanese machine, a COM number picked from the
// page's list, OK pressed, the sheet closed; and what the rename changed everywhere Windows keeps
// the port's name.
#include <windows.h>
#include <cfgmgr32.h>
#include <commctrl.h>
#include <msports.h>
#include <prsht.h>
#include <setupapi.h>

#include <Ostrix.h>
#include <winsim/user.h>

#include "machine/DebugOutputListener.h"

#include "ReaderMachine.h"
#include "TestSupport.h"

#include <strings.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace scenario
{
namespace
{

const char kDescription[] = "Tarno USB Card Reader/Writer";
const std::string kInUse = " (使用中)";
const char16_t kSerialComm[] = u"HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Registry names and paths of the machine, all ASCII.
std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

// Text of the machine's ANSI code page (932) as UTF-8, and back.
std::string Utf8FromAnsi(const std::string& ansi)
{
    if (ansi.empty())
    {
        return {};
    }
    // Not std::wstring: the C++ library's own wide strings have 4-byte characters, WCHAR has 2.
    std::vector<WCHAR> wide(ansi.size() + 1, 0);
    int units = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(),
                                    static_cast<int>(wide.size()));
    std::string utf8(units * 3 + 1, '\0');
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, nullptr);
    utf8.resize(bytes);
    return utf8;
}

std::string WindowText(HWND window)
{
    char text[512] = "";
    GetWindowTextA(window, text, sizeof(text));
    return Utf8FromAnsi(text);
}

// The definitions of a DOS device name, newest first; empty when the name is not defined.
std::vector<std::string> DosTargets(const char* name)
{
    char targets[1024];
    DWORD length = QueryDosDeviceA(name, targets, sizeof(targets));
    std::vector<std::string> result;
    for (DWORD i = 0; i < length && targets[i] != 0; i += static_cast<DWORD>(strlen(targets + i)) + 1)
    {
        result.push_back(targets + i);
    }
    return result;
}

std::string PortsEntry(const char* key)
{
    char value[128];
    GetProfileStringA("Ports", key, "<none>", value, sizeof(value));
    return value;
}

// The COM numbers the COM-name database holds.
std::vector<int> ClaimedComNumbers()
{
    HCOMDB database = nullptr;
    EXPECT_EQ(ComDBOpen(&database), ERROR_SUCCESS);
    BYTE bits[32] = {};
    DWORD ports = 0;
    EXPECT_EQ(ComDBGetCurrentPortUsage(database, bits, sizeof(bits), CDB_REPORT_BITS, &ports), ERROR_SUCCESS);
    ComDBClose(database);
    std::vector<int> claimed;
    for (int n = 1; n <= 256; ++n)
    {
        if ((bits[(n - 1) / 8] & (1 << ((n - 1) % 8))) != 0)
        {
            claimed.push_back(n);
        }
    }
    return claimed;
}

// A registry export as "key|value" -> data, one entry per value and one per key ("key|").
std::map<std::string, std::string> RegistryEntries(const std::string& exported)
{
    std::map<std::string, std::string> entries;
    std::string key;
    for (const std::string& line : testsupport::SplitLines(exported))
    {
        if (line.size() > 2 && line.front() == '[' && line.back() == ']')
        {
            key = line.substr(1, line.size() - 2);
            entries[key + "|"] = "";
        }
        else if (!key.empty() && !line.empty() && (line.front() == '"' || line.front() == '@'))
        {
            size_t separator = line.find("\"=");
            separator = line.front() == '@' ? 1 : separator + 1;
            entries[key + "|" + line.substr(0, separator)] = line.substr(separator + 1);
        }
    }
    return entries;
}

// What changed from one export to the other: "-entry = data" and "+entry = data" lines, sorted.
std::vector<std::string> RegistryChanges(const std::string& before, const std::string& after)
{
    std::map<std::string, std::string> old = RegistryEntries(before);
    std::map<std::string, std::string> now = RegistryEntries(after);
    std::vector<std::string> changes;
    for (const auto& [entry, data] : old)
    {
        auto found = now.find(entry);
        if (found == now.end() || found->second != data)
        {
            changes.push_back("-" + entry + " = " + data);
        }
    }
    for (const auto& [entry, data] : now)
    {
        auto found = old.find(entry);
        if (found == old.end() || found->second != data)
        {
            changes.push_back("+" + entry + " = " + data);
        }
    }
    std::sort(changes.begin(), changes.end());
    return changes;
}

class PortPageTest : public ReaderMachineTest
{
  protected:
    winsim::machine::MachineConfig Config() override
    {
        winsim::machine::MachineConfig config;
        config.ansiCodePage = 932;
        config.uiLanguage = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
        return config;
    }

    void SetUp() override
    {
        ReaderMachineTest::SetUp();
        if (HasFatalFailure())
        {
            return;
        }
        debugOutput = std::make_unique<winsim::machine::DebugOutputListener>(machine->Root().string());
        winsim::ClearShownMessageBoxes();
        winsim::SetMessageBoxAnswers({});
    }

    void TearDown() override
    {
        if (sheet != nullptr && IsWindow(sheet))
        {
            DestroyWindow(sheet);
        }
        debugOutput.reset();
        ReaderMachineTest::TearDown();
    }

    // Device Manager: the reader's properties, with the port's page on top.
    HWND OpenSheet(const winsim::machine::Device& which)
    {
        std::string instance = Narrow(which.InstancePath());
        sheet = winsim::OpenDeviceProperties(instance.c_str());
        EXPECT_NE(sheet, nullptr) << GetLastError();
        return sheet;
    }
    HWND OpenSheet() { return OpenSheet(device); }

    HWND Page() { return PropSheet_GetCurrentPageHwnd(sheet); }
    HWND List() { return GetDlgItem(Page(), 1001); }

    std::vector<std::string> ListEntries()
    {
        std::vector<std::string> entries;
        HWND list = List();
        LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i)
        {
            char text[256] = "";
            SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
            entries.push_back(Utf8FromAnsi(text));
        }
        return entries;
    }
    LRESULT Selection() { return SendMessageA(List(), CB_GETCURSEL, 0, 0); }

    // The user picks COM n in the list.
    void Choose(int number) { winsim::ChooseComboBoxItem(List(), number - 1); }
    // Apply: the pages apply and the sheet stays open.
    void Apply()
    {
        PropSheet_Apply(sheet);
        machine->WaitForQuiescence();
    }
    // OK (the pages apply) or Cancel, then the sheet goes away as its thread runs its messages.
    void PressOk() { CloseWith(PSBTN_OK); }
    void Cancel() { CloseWith(PSBTN_CANCEL); }
    void CloseWith(int button)
    {
        PropSheet_PressButton(sheet, button);
        MSG message;
        while (IsWindow(sheet) && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        EXPECT_FALSE(IsWindow(sheet));
        sheet = nullptr;
        machine->WaitForQuiescence();
    }

    // This process's debugger lines so far (the page's).
    std::vector<std::string> DebugLines()
    {
        std::vector<std::string> lines;
        for (const auto& message : debugOutput->Collect())
        {
            if (message.processId == GetCurrentProcessId())
            {
                lines.push_back(message.text);
            }
        }
        return lines;
    }
    bool DebugHas(const std::string& text)
    {
        for (const std::string& line : DebugLines())
        {
            if (line.find(text) != std::string::npos)
            {
                return true;
            }
        }
        return false;
    }

    // Everything a rename may touch, for before-and-after comparisons.
    std::string Places()
    {
        std::string places = machine->RegistryText(u"HKEY_LOCAL_MACHINE");
        places += "\n[DOS names]\n";
        for (const char* name : {"COM1", "COM2", "COM3", "COM4", "COM5"})
        {
            for (const std::string& target : DosTargets(name))
            {
                places += std::string(name) + " -> " + target + "\n";
            }
        }
        places += "\n[win.ini]\n" + testsupport::ReadAll(machine->HostPath(u"C:\\Windows\\win.ini"));
        return places;
    }

    std::string FriendlyName(const winsim::machine::Device& which)
    {
        std::optional<std::u16string> name = machine->RegistryString(
            u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + which.InstancePath(), u"FriendlyName");
        return name ? Narrow(*name) : std::string("<none>");
    }
    std::string PortName(const winsim::machine::Device& which)
    {
        std::optional<std::u16string> name =
            machine->RegistryString(u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" +
                                        which.InstancePath() + u"\\Device Parameters",
                                    u"PortName");
        return name ? Narrow(*name) : std::string("<none>");
    }

    std::unique_ptr<winsim::machine::DebugOutputListener> debugOutput;
    HWND sheet = nullptr;
};

// --- the whole rename ---------------------------------------------------------------------------

TEST_F(PortPageTest, RenamingCom3ToCom5MovesTheNameEverywhereAndTheDriverPublishesIt)
{
    ASSERT_EQ(PortsEntry("COM3:"), "9600,n,8,1");
    std::string registryBefore = machine->RegistryText(u"HKEY_LOCAL_MACHINE");
    std::vector<std::string> targetBefore = DosTargets("COM3");
    ASSERT_EQ(targetBefore.size(), 1u);

    OpenSheet();
    EXPECT_EQ(WindowText(sheet), std::string(kDescription) + " (COM3)のプロパティ");
    EXPECT_EQ(WindowText(Page()), "ポートの設定");
    Choose(5);
    Apply();
    EXPECT_EQ(WindowText(sheet), std::string(kDescription) + " (COM5)のプロパティ");
    PressOk();

    // No question: COM5 was free and nobody had the port open.
    EXPECT_TRUE(winsim::ShownMessageBoxes().empty());
    EXPECT_EQ(DosTargets("COM5").front(), targetBefore.front());
    EXPECT_TRUE(DosTargets("COM3").empty());
    EXPECT_EQ(machine->RegistryString(kSerialComm, device.KernelName()), u"COM5");
    EXPECT_EQ(ClaimedComNumbers(), (std::vector<int>{1, 2, 5}));
    EXPECT_EQ(FriendlyName(device), std::string(kDescription) + " (COM5)");
    EXPECT_EQ(PortsEntry("COM5:"), "9600,n,8,1");
    EXPECT_EQ(PortsEntry("COM3:"), "<none>");
    EXPECT_EQ(PortName(device), "COM5");

    // The restart: the driver came up under the new name.
    EXPECT_EQ(machine->DeviceByComName(u"COM5"), device);
    EXPECT_FALSE(DriverTrace("COM5: ").empty());
    HANDLE port =
        CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(port);

    // The client library finds the reader on COM5.
    HMODULE library = LoadLibraryA(winsim::ToWindowsPath(OSTRIX_DLL).c_str());
    ASSERT_NE(library, nullptr);
    auto getPortNames = reinterpret_cast<decltype(&rwGetUSBPortNames)>(
        reinterpret_cast<void*>(GetProcAddress(library, "rwGetUSBPortNames")));
    BSTR names = nullptr;
    BSTR online = nullptr;
    SHORT count = 0;
    EXPECT_EQ(getPortNames(TARNO_PRODUCT_ID_TEXT, &names, &online, &count), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(names), SysStringByteLen(names)), "COM5");
    SysFreeString(names);
    SysFreeString(online);
    FreeLibrary(library);

    // Nothing else in the registry changed.
    std::string instanceKey =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + Narrow(device.InstancePath());
    // Value names are escaped in the export: "\\Device\\ZTSerial0".
    std::string kernelName;
    for (char c : Narrow(device.KernelName()))
    {
        kernelName += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    std::vector<std::string> expected = {
        "+" + instanceKey + "\\Device Parameters|\"PortName\" = \"COM5\"",
        "+" + instanceKey + "|\"FriendlyName\" = \"" + kDescription + " (COM5)\"",
        "+HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM|\"" + kernelName + "\" = \"COM5\"",
        "-" + instanceKey + "\\Device Parameters|\"PortName\" = \"COM3\"",
        "-" + instanceKey + "|\"FriendlyName\" = \"" + kDescription + " (COM3)\"",
        "-HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM|\"" + kernelName + "\" = \"COM3\"",
    };
    std::vector<std::string> changes =
        RegistryChanges(registryBefore, machine->RegistryText(u"HKEY_LOCAL_MACHINE"));
    // The COM-name database's bits are checked above; its value changes with them.
    changes.erase(std::remove_if(changes.begin(), changes.end(),
                                 [](const std::string& line) {
                                     return line.find("COM Name Arbiter|") != std::string::npos;
                                 }),
                  changes.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(changes, expected);
}

TEST_F(PortPageTest, TheRenameWritesItsStepsToTheDebugger)
{
    OpenSheet();
    Choose(5);
    PressOk();
    // The device path as the hub registered it, lower case; the line shows it as it comes.
    std::string hwid =
        "usb\\vid_" + std::string(TARNO_VENDOR_ID_TEXT) + "&pid_" + TARNO_PRODUCT_ID_TEXT + "\\tr0001";
    std::transform(hwid.begin(), hwid.end(), hwid.begin(),
                   [](char c) { return static_cast<char>(tolower(c)); });
    std::vector<std::string> expected = {
        "ZT730kCasselProvider set old name to [COM3]\n",
        "BuildComPortNumberComboBox nCurPortNum:[3]\n",
        "OnApplyCode START",
        "SaveSettings curComNum:[3] newComNum:[5]\n",
        "EnactComNameChanges curComNum:[3] a_new_com_num:[5]\n",
        "EnactComNameChanges ComDBGetCurrentPortUsage 07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 \n",
        "EnactComNameChanges open old device name [\\\\.\\COM3]\n",
        "EnactComNameChanges new COM name:[COM5] len:[5] strlen:[4]\n",
        "EnactComNameChanges rewrite registry\n",
        "EnactComNameChanges rewrite registry COM3 -> COM5\n",
        "EnactComNameChanges SetupDiSetDeviceRegistryProperty (Tarno USB Card Reader/Writer (COM5)), "
        "len:[36]\n",
        "SaveSettings curComNum:[3] newComNum:[5]\n",
        "hwid = " + hwid,
        "port num = 5.",
        "port number matched.",
        "restart(0)",
    };
    EXPECT_EQ(DebugLines(), expected);
}

// --- the list -------------------------------------------------------------------------------------

TEST_F(PortPageTest, TheListOffersEveryNumberAndMarksThoseOtherDevicesHold)
{
    struct Case
    {
        const char* name;
        const char16_t* portName; // the reader's PortName when the page opens; nullptr: none
        bool secondReader;        // a reader on COM4
        int selected;             // COM number selected
        std::vector<int> marked;  // numbers shown in use
    };
    const Case cases[] = {
        {"its own number selected and unmarked", u"COM3", false, 3, {1, 2}},
        {"a number past the list shown as COM256", u"COM300", false, 256, {1, 2, 3}},
        {"no PortName shown as COM1", nullptr, false, 1, {2, 3}},
        // Last: the database keeps COM4 for the reader after it is pulled out, as Windows does.
        {"another reader's number marked", u"COM3", true, 3, {1, 2, 4}},
    };
    std::u16string parameters = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" +
                                device.InstancePath() + u"\\Device Parameters";
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        winsim::machine::Device second;
        if (c.secondReader)
        {
            winsim::machine::ReaderSpec reader;
            reader.serialNumber = u"TR0002";
            second = machine->Attach(reader);
        }
        if (c.portName != nullptr)
        {
            machine->SetRegistryValue(parameters, u"PortName",
                                      winsim::machine::RegistryValue::String(c.portName));
        }
        else
        {
            machine->DeleteRegistryValue(parameters, u"PortName");
        }

        OpenSheet();
        std::vector<std::string> entries = ListEntries();
        ASSERT_EQ(entries.size(), 256u);
        for (int n = 1; n <= 256; ++n)
        {
            bool marked = std::find(c.marked.begin(), c.marked.end(), n) != c.marked.end();
            EXPECT_EQ(entries[n - 1], "COM" + std::to_string(n) + (marked ? kInUse : "")) << n;
        }
        EXPECT_EQ(Selection(), c.selected - 1);
        Cancel();

        machine->SetRegistryValue(parameters, u"PortName", winsim::machine::RegistryValue::String(u"COM3"));
        if (second)
        {
            machine->Detach(second);
        }
    }
}

// --- questions, refusals and failures ---------------------------------------------------------------

TEST_F(PortPageTest, DecliningEitherQuestionLeavesEveryPlaceUnchanged)
{
    struct Case
    {
        const char* name;
        int number;           // the number chosen
        bool secondReader;    // a reader holds COM4
        bool portOpen;        // another program has COM3 open
        UINT textId;          // the question asked
        const char* question; // its beginning
        UINT type;
    };
    const Case cases[] = {
        {"a number another reader holds", 4, true, false, 1, "このCOM名は別のデバイス",
         MB_YESNO | MB_ICONINFORMATION},
        {"a port open in another program", 5, false, true, 3, "ポートは別のアプリケーション",
         MB_YESNO | MB_ICONERROR},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        winsim::machine::Device second;
        if (c.secondReader)
        {
            winsim::machine::ReaderSpec reader;
            reader.serialNumber = u"TR0002";
            second = machine->Attach(reader);
        }
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.portOpen)
        {
            held = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        std::string before = Places();
        DebugLines();
        winsim::ClearShownMessageBoxes();
        winsim::MessageBoxScript script;
        script.defaultAnswer = IDNO;
        winsim::SetMessageBoxAnswers(script);

        OpenSheet();
        Choose(c.number);
        Apply();
        std::string title = WindowText(sheet);
        Cancel();

        std::vector<winsim::ShownMessageBox> boxes = winsim::ShownMessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].textUtf8.rfind(c.question, 0), 0u) << boxes[0].textUtf8;
        EXPECT_EQ(boxes[0].captionUtf8, "接続ポートのプロパティ");
        EXPECT_EQ(boxes[0].type, c.type);
        EXPECT_EQ(Places(), before);
        EXPECT_EQ(title, std::string(kDescription) + " (COM3)のプロパティ");
        // Nothing restarted: no device was even looked for.
        for (const std::string& line : DebugLines())
        {
            EXPECT_EQ(line.find("port num"), std::string::npos) << line;
            EXPECT_EQ(line.find("rewrite registry"), std::string::npos) << line;
        }

        if (held != INVALID_HANDLE_VALUE)
        {
            CloseHandle(held);
        }
        if (second)
        {
            machine->Detach(second);
        }
    }
}

TEST_F(PortPageTest, APortOpenElsewhereIsRenamedWhenTheUserSaysYes)
{
    HANDLE held =
        CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    winsim::MessageBoxScript script;
    script.defaultAnswer = IDYES;
    winsim::SetMessageBoxAnswers(script);

    OpenSheet();
    Choose(5);
    PressOk();

    std::vector<winsim::ShownMessageBox> boxes = winsim::ShownMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].textUtf8.rfind("ポートは別のアプリケーション", 0), 0u);
    EXPECT_EQ(PortName(device), "COM5");
    EXPECT_EQ(FriendlyName(device), std::string(kDescription) + " (COM5)");
    EXPECT_FALSE(DosTargets("COM5").empty());
    EXPECT_EQ(PortsEntry("COM5:"), "9600,n,8,1");
    CloseHandle(held);
}

TEST_F(PortPageTest, ADosNameThatCannotBeMovedIsPutBackAndTheErrorShown)
{
    std::string before = Places();
    machine->DenyDosDeviceName(u"COM5");

    OpenSheet();
    Choose(5);
    PressOk();

    std::vector<winsim::ShownMessageBox> boxes = winsim::ShownMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].textUtf8, "COMポートリネーム中にエラー発生");
    EXPECT_EQ(boxes[0].captionUtf8, "接続ポートのプロパティ");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(Places(), before);
    HANDLE port =
        CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(port);
}

TEST_F(PortPageTest, ChoosingTheSameNumberChangesNothing)
{
    std::string before = Places();
    OpenSheet();
    Choose(3);
    PressOk();
    EXPECT_EQ(Places(), before);
    EXPECT_TRUE(winsim::ShownMessageBoxes().empty());
    EXPECT_FALSE(DebugHas("EnactComNameChanges"));
    EXPECT_TRUE(DebugHas("SaveSettings curComNum:[3] newComNum:[3]\n"));
}

TEST_F(PortPageTest, ASecondApplyKeepsTheMovedWinIniLine)
{
    ASSERT_TRUE(WriteProfileStringA("Ports", "COM3:", "19200,e,7,1"));
    OpenSheet();
    Choose(5);
    Apply();
    Apply();
    PressOk();
    EXPECT_EQ(PortsEntry("COM5:"), "19200,e,7,1");
    EXPECT_EQ(PortsEntry("COM3:"), "<none>");
    // The page took COM5 as its port: no question, no second rename.
    EXPECT_TRUE(winsim::ShownMessageBoxes().empty());
    std::vector<std::string> lines = DebugLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "EnactComNameChanges rewrite registry\n"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "SaveSettings curComNum:[5] newComNum:[5]\n"), 2);
}

// What the question warns of: with the duplicate confirmed, the page restarts its own reader, not
// the other one that the device enumeration finds first holding the number too; and its driver
// cannot publish COM3 beside the other reader's.
TEST_F(PortPageTest, AConfirmedDuplicateRestartsThePagesOwnReaderOnly)
{
    winsim::machine::ReaderSpec reader;
    reader.serialNumber = u"TR0002";
    winsim::machine::Device second = machine->Attach(reader); // COM4, enumerated after COM3's
    PDEVICE_OBJECT firstDevice = device.DeviceObject();
    std::u16string firstName = device.KernelName();
    std::u16string secondName = second.KernelName();
    auto eventsOf = [&](const std::u16string& name) {
        std::vector<ULONG> ids;
        for (const auto& record : machine->EventLogEntries())
        {
            if (record.deviceName == name)
            {
                ids.push_back(record.eventId);
            }
        }
        return ids;
    };
    std::vector<ULONG> firstEvents = eventsOf(firstName);
    std::vector<ULONG> secondEvents = eventsOf(secondName);
    winsim::MessageBoxScript script;
    script.defaultAnswer = IDYES;
    winsim::SetMessageBoxAnswers(script);

    OpenSheet(second);
    Choose(3);
    PressOk();

    ASSERT_EQ(winsim::ShownMessageBoxes().size(), 1u); // the number is taken: asked, and confirmed
    EXPECT_EQ(PortName(device), "COM3");
    EXPECT_EQ(PortName(second), "COM3");
    EXPECT_TRUE(DebugHas("port number matched another device."));
    // The page's reader went from D0 to D3 and failed to come back under a name already published.
    secondEvents.push_back(1);  // D0 to D3
    secondEvents.push_back(10); // failed to plug and play (DeviceAdd)
    EXPECT_EQ(eventsOf(secondName), secondEvents);
    EXPECT_EQ(second.State(), winsim::machine::DeviceState::Failed);
    // The other reader ran on.
    EXPECT_EQ(eventsOf(firstName), firstEvents);
    EXPECT_EQ(device.DeviceObject(), firstDevice);
    EXPECT_EQ(device.State(), winsim::machine::DeviceState::Started);
}

TEST_F(PortPageTest, APortWithoutADosNameIsRenamedInTheRegistryAlone)
{
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "COM3", nullptr));
    ASSERT_TRUE(DosTargets("COM3").empty());
    OpenSheet();
    Choose(5);
    PressOk();
    EXPECT_FALSE(DebugHas("open old device name"));
    EXPECT_EQ(PortName(device), "COM5");
    EXPECT_EQ(ClaimedComNumbers(), (std::vector<int>{1, 2, 5}));
    EXPECT_EQ(FriendlyName(device), std::string(kDescription) + " (COM5)");
    EXPECT_EQ(PortsEntry("COM5:"), "9600,n,8,1");
    EXPECT_EQ(machine->RegistryString(kSerialComm, device.KernelName()), u"COM5");
}

// --- the provider's page data ------------------------------------------------------------------------

BOOL CALLBACK RefusePage(HPROPSHEETPAGE, LPARAM)
{
    return FALSE;
}
BOOL CALLBACK KeepPage(HPROPSHEETPAGE page, LPARAM lParam)
{
    *reinterpret_cast<HPROPSHEETPAGE*>(lParam) = page;
    return TRUE;
}

TEST_F(PortPageTest, APageDataIsFreedExactlyOnceWhetherThePageWasAddedOrRefused)
{
    HMODULE module = LoadLibraryA("Cassel.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    auto provider = reinterpret_cast<BOOL(WINAPI*)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM)>(
        reinterpret_cast<void*>(GetProcAddress(module, "ZT730kCasselProvider")));
    ASSERT_NE(provider, nullptr);

    // The reader as the device installer hands it to a provider.
    HDEVINFO devices = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    ASSERT_NE(devices, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA reader = {sizeof(reader)};
    bool found = false;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(devices, i, &reader); ++i)
    {
        char instance[MAX_DEVICE_ID_LEN] = "";
        found = SetupDiGetDeviceInstanceIdA(devices, &reader, instance, sizeof(instance), nullptr) &&
                strcasecmp(instance, Narrow(device.InstancePath()).c_str()) == 0;
    }
    ASSERT_TRUE(found);
    SP_PROPSHEETPAGE_REQUEST request = {sizeof(request), SPPSR_ENUM_ADV_DEVICE_PROPERTIES, devices, &reader};

    long live = winsim::LiveLocalAllocations();
    EXPECT_FALSE(provider(&request, RefusePage, 0));
    EXPECT_EQ(winsim::LiveLocalAllocations(), live);

    HPROPSHEETPAGE page = nullptr;
    EXPECT_TRUE(provider(&request, KeepPage, reinterpret_cast<LPARAM>(&page)));
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(winsim::LiveLocalAllocations(), live + 1);
    EXPECT_TRUE(DestroyPropertySheetPage(page));
    EXPECT_EQ(winsim::LiveLocalAllocations(), live);

    // Requests the provider does not answer make no page and keep nothing.
    SP_PROPSHEETPAGE_REQUEST basic = request;
    basic.PageRequested = SPPSR_ENUM_BASIC_DEVICE_PROPERTIES;
    SP_PROPSHEETPAGE_REQUEST noDevice = request;
    noDevice.DeviceInfoData = nullptr;
    EXPECT_FALSE(provider(&basic, KeepPage, reinterpret_cast<LPARAM>(&page)));
    EXPECT_FALSE(provider(&noDevice, KeepPage, reinterpret_cast<LPARAM>(&page)));
    EXPECT_EQ(winsim::LiveLocalAllocations(), live);

    SetupDiDestroyDeviceInfoList(devices);
    FreeLibrary(module);
}

} // namespace
} // namespace scenario
