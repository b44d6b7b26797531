// The Device Manager story on a Japanese machine with the driver package: a user opens the
// properties of the reader's port, picks on the "ポートの設定" page a COM number that another
// reader still holds, confirms the question, and the port is renamed everywhere Windows keeps its
// name; the reader restarts and its driver publishes the new name.
//   tarnocom-portpage-demo [driver package folder]
#include <windows.h>
#include <commctrl.h>
#include <msports.h>
#include <prsht.h>

#include <winsim/user.h>

#include "machine/DebugOutputListener.h"
#include "machine/Machine.h"

#include <stdio.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using winsim::machine::Device;
using winsim::machine::Machine;
using winsim::machine::ReaderSpec;

static void Heading(const char* text)
{
    printf("\n== %s ==\n\n", text);
}

static std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text)
    {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

// A text of the machine's ANSI code page (932) as UTF-8, for this terminal.
static std::string Utf8(const std::string& ansi)
{
    if (ansi.empty())
    {
        return {};
    }
    // Not std::wstring: the C++ library's own wide strings have 4-byte characters, WCHAR has 2.
    std::vector<WCHAR> wide(ansi.size() + 1, 0);
    int units = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(),
                                    static_cast<int>(wide.size()));
    std::string utf8(static_cast<size_t>(units) * 3 + 1, '\0');
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, nullptr);
    utf8.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
    return utf8;
}

static std::string WindowText(HWND window)
{
    char text[512] = "";
    GetWindowTextA(window, text, sizeof(text));
    return Utf8(text);
}

static std::string DosTarget(const char* name)
{
    char target[256] = "";
    return QueryDosDeviceA(name, target, sizeof(target)) != 0 ? target : "(not defined)";
}

static std::string ClaimedNumbers()
{
    HCOMDB database = nullptr;
    std::string numbers;
    if (ComDBOpen(&database) != ERROR_SUCCESS)
    {
        return "(database not available)";
    }
    BYTE bits[32] = {};
    DWORD ports = 0;
    if (ComDBGetCurrentPortUsage(database, bits, sizeof(bits), CDB_REPORT_BITS, &ports) == ERROR_SUCCESS)
    {
        for (int n = 1; n <= 256; ++n)
        {
            if ((bits[(n - 1) / 8] & (1 << ((n - 1) % 8))) != 0)
            {
                numbers += (numbers.empty() ? "COM" : ", COM") + std::to_string(n);
            }
        }
    }
    ComDBClose(database);
    return numbers;
}

static std::string PortsSection(Machine& machine)
{
    std::ifstream file(machine.HostPath(u"C:\\Windows\\win.ini"), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string lines;
    bool inPorts = false;
    std::string line;
    while (std::getline(text, line))
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        if (!line.empty() && line.front() == '[')
        {
            inPorts = line == "[Ports]";
        }
        if (inPorts && !line.empty())
        {
            lines += "    " + line + "\n";
        }
    }
    return lines;
}

// The places the rename touches, one line each.
static void ShowPlaces(Machine& machine, const Device& reader, HWND sheet)
{
    std::u16string enumKey = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + reader.InstancePath();
    printf("  DOS device names:   COM3 -> %s, COM4 -> %s\n", DosTarget("COM3").c_str(),
           DosTarget("COM4").c_str());
    printf("  SERIALCOMM:         %s = %s\n", Narrow(reader.KernelName()).c_str(),
           Narrow(machine
                      .RegistryString(u"HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                      reader.KernelName())
                      .value_or(u"(none)"))
               .c_str());
    printf("  COM-name database:  %s claimed\n", ClaimedNumbers().c_str());
    printf("  friendly name:      %s\n",
           Narrow(machine.RegistryString(enumKey, u"FriendlyName").value_or(u"")).c_str());
    if (sheet != nullptr)
    {
        printf("  sheet's title:      %s\n", WindowText(sheet).c_str());
    }
    printf(
        "  PortName:           %s\n",
        Narrow(machine.RegistryString(enumKey + u"\\Device Parameters", u"PortName").value_or(u"")).c_str());
    printf("  win.ini [Ports]:\n%s", PortsSection(machine).c_str());
}

int main(int argc, char** argv)
{
    std::filesystem::path package = std::filesystem::absolute(argc > 1 ? argv[1] : TARNOCOM_PACKAGE_DIR);
    try
    {
        winsim::machine::MachineConfig config;
        config.ansiCodePage = 932;
        config.uiLanguage = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
        Machine machine(config);
        machine.InstallPackage(package / "TARNOCOM.inf");
        winsim::machine::DebugOutputListener debugger(machine.Root().string());

        Heading("A Japanese machine (code page 932) with two readers; one is pulled out again");
        ReaderSpec first;
        first.serialNumber = u"TR0001";
        Device reader = machine.Attach(first);
        ReaderSpec other;
        other.serialNumber = u"TR0002";
        Device second = machine.Attach(other);
        printf("  plugged TR0001 as COM3 and TR0002 as COM4; TR0002 pulled out: COM4 stays its name\n");
        machine.Detach(second);
        machine.WaitForQuiescence();
        machine.ClearEventLog();
        ShowPlaces(machine, reader, nullptr);

        Heading("Device Manager: the properties of the reader's port");
        std::string instance = Narrow(reader.InstancePath());
        HWND sheet = winsim::OpenDeviceProperties(instance.c_str());
        if (sheet == nullptr)
        {
            throw std::runtime_error("the properties did not open: error " + std::to_string(GetLastError()));
        }
        HWND page = PropSheet_GetCurrentPageHwnd(sheet);
        HWND list = GetDlgItem(page, 1001);
        printf("  sheet: %s\n  page:  %s\n  list (%ld entries), the first eight:\n",
               WindowText(sheet).c_str(), WindowText(page).c_str(),
               static_cast<long>(SendMessageA(list, CB_GETCOUNT, 0, 0)));
        LRESULT selected = SendMessageA(list, CB_GETCURSEL, 0, 0);
        for (int i = 0; i < 8; ++i)
        {
            char entry[256] = "";
            SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
            printf("    %s %s\n", i == selected ? ">" : " ", Utf8(entry).c_str());
        }

        Heading("The user picks COM4, which the database still holds for TR0002, and applies");
        winsim::MessageBoxScript script;
        script.defaultAnswer = IDYES;
        winsim::SetMessageBoxAnswers(script);
        winsim::ChooseComboBoxItem(list, 3);
        PropSheet_Apply(sheet);
        machine.WaitForQuiescence();
        for (const winsim::ShownMessageBox& box : winsim::ShownMessageBoxes())
        {
            printf("  message box \"%s\" (%s):\n    %s\n  answered: %s\n", box.captionUtf8.c_str(),
                   (box.type & MB_TYPEMASK) == MB_YESNO ? "Yes/No" : "OK", box.textUtf8.c_str(),
                   box.answer == IDYES  ? "Yes"
                   : box.answer == IDNO ? "No"
                                        : "OK");
        }

        Heading("Where the name changed");
        ShowPlaces(machine, reader, sheet);

        Heading("OK closes the sheet; the reader restarted and its driver publishes COM4");
        PropSheet_PressButton(sheet, PSBTN_OK);
        MSG message;
        while (IsWindow(sheet) && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        machine.WaitForQuiescence();
        for (const winsim::machine::EventLogRecord& record : machine.EventLogEntries())
        {
            std::u16string text = machine.EventText(record, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
            while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r'))
            {
                text.pop_back();
            }
            printf("  event log: %-11s %s: %s\n", record.level.c_str(), Narrow(record.deviceName).c_str(),
                   Narrow(text).c_str());
        }
        printf("\n%s", machine.DescribeSerialComm().c_str());
        HANDLE port =
            CreateFileA("\\\\.\\COM4", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        printf("  CreateFileA(\"\\\\\\\\.\\\\COM4\"): %s\n",
               port != INVALID_HANDLE_VALUE ? "opened" : ("error " + std::to_string(GetLastError())).c_str());
        if (port != INVALID_HANDLE_VALUE)
        {
            CloseHandle(port);
        }

        Heading("The page's lines in the debugger output");
        for (const auto& line : debugger.Collect())
        {
            std::string text = line.text;
            while (!text.empty() && text.back() == '\n')
            {
                text.pop_back();
            }
            printf("  %s\n", text.c_str());
        }
    }
    catch (const std::exception& error)
    {
        fprintf(stderr, "tarnocom-portpage-demo: %s\n", error.what());
        return 1;
    }
    return 0;
}
