// Boots a simulated Windows machine, installs the reader's driver package and plugs readers in
// and out, printing what a person would look at: the devices, the SERIALCOMM map and the system
// event log.
#include "machine/Machine.h"

#include <stdio.h>

#include <exception>
#include <string>

using winsim::machine::Machine;
using winsim::machine::ReaderSpec;

static void Heading(const char* text)
{
    printf("\n== %s ==\n", text);
}

int main(int argc, char** argv)
{
    std::string package = argc > 1 ? argv[1] : TARNOCOM_PACKAGE_DIR;
    try
    {
        Machine machine;
        Heading("Installing the driver package");
        machine.InstallPackage(package + "/TARNOCOM.inf");
        printf("TARNOCOM.inf is in the driver store.\n");

        Heading("Plugging in two readers");
        ReaderSpec first;
        first.serialNumber = u"TR0001";
        winsim::machine::Device one = machine.Attach(first);
        ReaderSpec second;
        second.serialNumber = u"TR0002";
        machine.Attach(second);
        printf("%s", machine.DescribeDevices().c_str());
        Heading("The driver's service parameters, installed with the first reader");
        const char16_t* parameters =
            u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TARNOCOM\\Parameters";
        printf("%s", machine.RegistryText(parameters).c_str());
        Heading("SERIALCOMM");
        printf("%s", machine.DescribeSerialComm().c_str());

        Heading("Pulling out the first reader");
        machine.Detach(one);
        printf("%s", machine.DescribeDevices().c_str());
        Heading("SERIALCOMM");
        printf("%s", machine.DescribeSerialComm().c_str());

        Heading("Plugging in a reader whose COM name is too long (COM10000)");
        ReaderSpec third;
        third.serialNumber = u"TR0003";
        third.portName = u"COM10000";
        machine.Attach(third);
        printf("%s", machine.DescribeDevices().c_str());

        Heading("System event log (English)");
        printf("%s", machine.DescribeEventLog(0x0409).c_str());
    }
    catch (const std::exception& error)
    {
        fprintf(stderr, "demo failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
