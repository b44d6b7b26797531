// The fixture of the scenario tests: a machine with the driver package installed and one reader
// plugged in (COM3), on which this process's user mode runs while the test runs.
#pragma once

#include <windows.h>

#include "machine/Machine.h"

#include "ProductConstants.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace scenario
{

inline const GUID DriverTraceGuid = {TARNO_TRACE_GUID_INITIALIZER};

class ReaderMachineTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        machine = std::make_unique<winsim::machine::Machine>(Config());
        StartDriverTrace();
        machine->InstallPackage(std::filesystem::path(TARNOCOM_PACKAGE_DIR) / "TARNOCOM.inf");
        device = machine->Attach(ReaderToPlug());
        ASSERT_TRUE(machine->DeviceByComName(u"COM3"));
    }
    void TearDown() override { machine.reset(); }

    // The machine's settings: a current Windows by default; a test class may choose others.
    virtual winsim::machine::MachineConfig Config() { return {}; }

    // The driver's trace is recorded from its first line, as a technician's session would; a test
    // class may record it otherwise, or not at all.
    virtual void StartDriverTrace()
    {
        machine->StartTrace(u"TARNOCOM", DriverTraceGuid, 4 /* TRACE_LEVEL_INFORMATION */, 0xFFFFFFFF);
    }

    // The reader the fixture plugs in: a plain one by default; a test class may plug another.
    virtual winsim::machine::ReaderSpec ReaderToPlug()
    {
        winsim::machine::ReaderSpec reader;
        reader.serialNumber = u"TR0001";
        return reader;
    }

    // The driver's trace lines that contain a text, in order.
    std::vector<std::string> DriverTrace(const std::string& containing)
    {
        std::vector<std::string> lines;
        for (const winsim::machine::TraceLine& line : machine->TraceLines(u"TARNOCOM", TARNOCOM_TMF))
        {
            if (line.text.find(containing) != std::string::npos)
            {
                lines.push_back(line.text);
            }
        }
        return lines;
    }

    std::unique_ptr<winsim::machine::Machine> machine;
    winsim::machine::Device device; // the reader plugged in at the start (COM3)
};

} // namespace scenario
