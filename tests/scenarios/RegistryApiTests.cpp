// The registry API of advapi32 against what the machine wrote when it installed the reader: the
// device's PortName in its hardware key and the SERIALCOMM device map, with Windows' buffer,
// enumeration, access and error rules.
#include "ReaderMachine.h"

#include <string.h>

#include <map>

namespace scenario
{
namespace
{

using RegistryApiTest = ReaderMachineTest;

const char* const DeviceParameters =
    "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2B4E&PID_0730\\TR0001\\Device Parameters";
const char* const SerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

TEST_F(RegistryApiTest, QueryValueReportsTypeAndSizeAndCopiesOnlyWhatFits)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, DeviceParameters, 0, KEY_READ, &key), ERROR_SUCCESS);

    // The whole value, its terminator counted.
    char name[20];
    memset(name, 'x', sizeof(name));
    DWORD type = 0;
    DWORD size = sizeof(name);
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(name, "COM3");

    // Only the size.
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);

    // A buffer one byte short: ERROR_MORE_DATA with the size needed, and nothing copied.
    memset(name, 'x', sizeof(name));
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(name[0], 'x');

    // Names compare without case; a missing value is not found; data without a size is refused.
    size = sizeof(name);
    EXPECT_EQ(RegQueryValueExA(key, "portname", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "NoSuchValue", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), nullptr),
              ERROR_INVALID_PARAMETER);

    // The driver's instance number, a DWORD.
    DWORD instance = 99;
    size = sizeof(instance);
    EXPECT_EQ(
        RegQueryValueExA(key, "InstanceNumber", nullptr, &type, reinterpret_cast<BYTE*>(&instance), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(instance, 0u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryApiTest, EnumeratingTheDeviceMapListsEveryPortThenNoMoreItems)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, SerialComm, 0, KEY_READ, &key), ERROR_SUCCESS);
    std::map<std::string, std::string> ports;
    DWORD index = 0;
    for (;; ++index)
    {
        char name[82];
        BYTE data[82];
        DWORD nameLength = sizeof(name);
        DWORD dataSize = sizeof(data);
        DWORD type = 0;
        LSTATUS result = RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
        {
            break;
        }
        ASSERT_EQ(result, ERROR_SUCCESS);
        EXPECT_EQ(nameLength, strlen(name)) << "the name length leaves out the terminator";
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(dataSize, strlen(reinterpret_cast<char*>(data)) + 1) << "the data size counts it";
        ports[name] = reinterpret_cast<char*>(data);
    }
    std::map<std::string, std::string> expected = {
        {"\\Device\\Serial0", "COM1"}, {"\\Device\\Serial1", "COM2"}, {"\\Device\\ZTSerial0", "COM3"}};
    EXPECT_EQ(ports, expected);
    EXPECT_EQ(index, 3u);

    // A name buffer that cannot hold the name and its terminator: ERROR_MORE_DATA.
    char shortName[15];
    DWORD nameLength = sizeof(shortName); // "\Device\Serial0" is 15 characters
    EXPECT_EQ(RegEnumValueA(key, 0, shortName, &nameLength, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    // The data's size alone.
    char name[32];
    nameLength = sizeof(name);
    DWORD dataSize = 0;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, nullptr, nullptr, &dataSize), ERROR_SUCCESS);
    EXPECT_EQ(dataSize, 5u);
    RegCloseKey(key);
}

TEST_F(RegistryApiTest, EnumeratingKeysGivesTheReadersInstance)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\USB", 0,
                            KEY_ENUMERATE_SUB_KEYS, &key),
              ERROR_SUCCESS);
    // The machine's root hub comes first, as its name sorts.
    char name[64];
    DWORD length = sizeof(name);
    ASSERT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "ROOT_HUB30");
    length = sizeof(name);
    ASSERT_EQ(RegEnumKeyExA(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "VID_2B4E&PID_0730");
    EXPECT_EQ(length, 17u);
    length = 17; // no room for the terminator
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    // The subkey opens relative to the key handle.
    HKEY instance = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, "VID_2B4E&PID_0730\\TR0001", 0, KEY_READ, &instance), ERROR_SUCCESS);
    RegCloseKey(instance);
    RegCloseKey(key);
}

TEST_F(RegistryApiTest, EachCallNeedsTheAccessItsHandleWasOpenedFor)
{
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, DeviceParameters, 0, KEY_QUERY_VALUE, &readOnly),
              ERROR_SUCCESS);
    const BYTE data[] = "COM7";
    EXPECT_EQ(RegSetValueExA(readOnly, "PortName", 0, REG_SZ, data, sizeof(data)), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(readOnly, "PortName"), ERROR_ACCESS_DENIED);
    char name[8];
    DWORD length = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(readOnly, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    RegCloseKey(readOnly);

    HKEY writeOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, DeviceParameters, 0, KEY_SET_VALUE, &writeOnly),
              ERROR_SUCCESS);
    DWORD size = sizeof(name);
    EXPECT_EQ(RegQueryValueExA(writeOnly, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(writeOnly, "PortName", 0, REG_SZ, data, sizeof(data)), ERROR_SUCCESS);
    RegCloseKey(writeOnly);

    // The kernel sees what user mode wrote: the driver's next start would publish COM7.
    auto stored = machine->StoredRegistryValue(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\V"
                                               u"ID_2B4E&PID_0730\\TR0001\\Device Parameters",
                                               u"PortName");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(stored->data.data()), stored->data.size() / 2),
              std::u16string(u"COM7", 5));
}

TEST_F(RegistryApiTest, StringDataIsStoredAsGivenTerminatorIncludedOrNot)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tests\\Strings", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(RegSetValueExA(key, "Counted", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM5"), 5),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "Uncounted", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM5"), 4),
              ERROR_SUCCESS);
    const char16_t* strings = u"\\Registry\\Machine\\SOFTWARE\\Tests\\Strings";
    ASSERT_TRUE(machine->StoredRegistryValue(strings, u"Counted"));
    EXPECT_EQ(machine->StoredRegistryValue(strings, u"Counted")->data.size(), 10u)
        << "UTF-16 with its terminator";
    EXPECT_EQ(machine->StoredRegistryValue(strings, u"Uncounted")->data.size(), 8u);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Uncounted", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegDeleteValueA(key, "Uncounted"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "Uncounted"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    HKEY again = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tests\\Strings", 0, nullptr, 0, KEY_READ,
                              nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(again);
    // A key with subkeys cannot be deleted; a leaf can.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tests"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tests\\Strings"), ERROR_SUCCESS);
    EXPECT_FALSE(machine->RegistryKeyExists(u"\\Registry\\Machine\\SOFTWARE\\Tests\\Strings"));
}

TEST_F(RegistryApiTest, BadKeysAndPathsFailAsOnWindows)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\NoSuchKey", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SYSTEM", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234)), "x", 0, KEY_READ, &key),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234))), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    // Predefined keys work without being opened.
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(HKEY_LOCAL_MACHINE, "Nothing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
}

} // namespace
} // namespace scenario
