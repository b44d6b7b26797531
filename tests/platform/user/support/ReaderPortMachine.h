// The fixture of the tests of setupapi and WMI: a machine with the reader's driver package
// installed and one reader plugged in (COM3; the machine's own ports are COM1 and COM2). This
// process's user mode runs on it while the test runs.
#pragma once

#include <windows.h>

#include "machine/Machine.h"

#include "ProductConstants.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

namespace win32test
{

class ReaderPortMachineTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        machine = std::make_unique<winsim::machine::Machine>();
        machine->InstallPackage(std::filesystem::path(TARNOCOM_PACKAGE_DIR) / "TARNOCOM.inf");
        reader = machine->Attach(Reader(u"TR0001"));
        ASSERT_EQ(reader.State(), winsim::machine::DeviceState::Started);
    }
    void TearDown() override { machine.reset(); }

    static winsim::machine::ReaderSpec Reader(const std::u16string& serialNumber)
    {
        winsim::machine::ReaderSpec reader;
        reader.serialNumber = serialNumber;
        return reader;
    }

    // The reader's instance ID as Windows writes it: USB\VID_xxxx&PID_xxxx\<serial>.
    static std::string InstanceId(const std::string& serialNumber)
    {
        return std::string("USB\\VID_") + TARNO_VENDOR_ID_TEXT + "&PID_" + TARNO_PRODUCT_ID_TEXT + "\\" +
               serialNumber;
    }

    std::unique_ptr<winsim::machine::Machine> machine;
    winsim::machine::Device reader; // TR0001, COM3
};

} // namespace win32test
