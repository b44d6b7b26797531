// The I/O manager: device names and symbolic links in the object namespace, exclusive devices,
// completion routines, cancellation, device interfaces, and the verifier's IRP rules.
#include "KernelTestSupport.h"

#include "kernel/Pnp.h"
#include "kernel/Pool.h"
#include "kernel/Registry.h"

#include <atomic>
#include <map>
#include <memory>
#include <vector>

using namespace kerneltest;
using winsim::kernel::ObjectNamespace;
using winsim::kernel::OpenFile;

namespace
{

using kerneltest::PrintTo;

class IoTest : public KernelTest
{
  protected:
    ObjectNamespace& Names() { return m_system.Namespace(); }

    TestDriver m_driver{u"iotest"};
    IrpHandler m_complete = CompleteEverything();
};

TEST_F(IoTest, CreatedDeviceIsInitialisedAndNamedInTheNamespace)
{
    UNICODE_STRING name = Us(L"\\Device\\IoTest0");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(m_driver.Object(), 64, &name, FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN,
                             FALSE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
    EXPECT_EQ(device->DriverObject, m_driver.Object());
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_NE(device->Flags & DO_DEVICE_INITIALIZING, 0u) << "a new device is still initialising";
    EXPECT_EQ(device->StackSize, 1);
    ASSERT_NE(device->DeviceExtension, nullptr);
    const auto* extension = static_cast<const unsigned char*>(device->DeviceExtension);
    for (int i = 0; i < 64; ++i)
    {
        EXPECT_EQ(extension[i], 0) << "the device extension is zeroed";
    }
    EXPECT_EQ(m_driver.Object()->DeviceObject, device);

    EXPECT_EQ(Names().Lookup(u"\\Device\\IoTest0"), device);
    EXPECT_EQ(Names().Lookup(u"\\DEVICE\\iotest0"), device) << "object names ignore case";
    EXPECT_EQ(Names().DeviceName(device), u"\\Device\\IoTest0");

    UNICODE_STRING sameName = Us(L"\\device\\IOTEST0");
    PDEVICE_OBJECT duplicate = nullptr;
    EXPECT_EQ(IoCreateDevice(m_driver.Object(), 0, &sameName, FILE_DEVICE_UNKNOWN, 0, FALSE, &duplicate),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Io().DeviceCount(m_driver.Object()), 1u);

    IoDeleteDevice(device);
    EXPECT_EQ(Names().Lookup(u"\\Device\\IoTest0"), nullptr);
    EXPECT_EQ(m_driver.Object()->DeviceObject, nullptr);
    EXPECT_EQ(IoCreateDevice(m_driver.Object(), 0, &sameName, FILE_DEVICE_UNKNOWN, 0, FALSE, &duplicate),
              STATUS_SUCCESS)
        << "the name is free again";
}

// \DosDevices\X, \??\X and \GLOBAL??\X name the same link, whichever form created it.
struct LinkCase
{
    const char* name;
    const wchar_t* createAs;
    const char16_t* useAs;
    const wchar_t* deleteAs;
};

class SymbolicLinkTest : public IoTest, public ::testing::WithParamInterface<LinkCase>
{
};

TEST_P(SymbolicLinkTest, AliasesNameOneLink)
{
    const LinkCase& c = GetParam();
    PDEVICE_OBJECT device = m_driver.CreateDevice(L"\\Device\\LinkTarget", &m_complete);
    UNICODE_STRING link = Us(c.createAs);
    UNICODE_STRING target = Us(L"\\Device\\LinkTarget");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(Names().Lookup(c.useAs), device);
    EXPECT_EQ(Names().LinkTarget(c.useAs), u"\\Device\\LinkTarget");
    std::shared_ptr<OpenFile> file;
    ASSERT_EQ(Io().Open(c.useAs, GENERIC_READ, 0, &file), STATUS_SUCCESS);
    EXPECT_EQ(file->namedDevice, device);
    EXPECT_EQ(Io().Close(file), STATUS_SUCCESS);

    std::u16string useAs(c.useAs);
    UNICODE_STRING again{static_cast<USHORT>(useAs.size() * 2), static_cast<USHORT>(useAs.size() * 2),
                         reinterpret_cast<PWCH>(useAs.data())};
    EXPECT_EQ(IoCreateSymbolicLink(&again, &target), STATUS_OBJECT_NAME_COLLISION);

    UNICODE_STRING remove = Us(c.deleteAs);
    EXPECT_EQ(IoDeleteSymbolicLink(&remove), STATUS_SUCCESS);
    EXPECT_EQ(Names().Lookup(c.useAs), nullptr);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Io().Open(c.useAs, GENERIC_READ, 0, &file), STATUS_OBJECT_NAME_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(
    Aliases, SymbolicLinkTest,
    ::testing::Values(LinkCase{"DosDevices", L"\\DosDevices\\TST7", u"\\??\\TST7", L"\\GLOBAL??\\TST7"},
                      LinkCase{"QuestionMarks", L"\\??\\TST7", u"\\GLOBAL??\\tst7", L"\\DosDevices\\Tst7"},
                      LinkCase{"Global", L"\\GLOBAL??\\TST7", u"\\DosDevices\\TST7", L"\\??\\TST7"}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

// An exclusive device admits one open at a time; the refused open never reaches the driver.
struct ExclusiveCase
{
    const char* name;
    bool exclusive;
    NTSTATUS secondOpen;
};

class ExclusiveTest : public IoTest, public ::testing::WithParamInterface<ExclusiveCase>
{
};

TEST_P(ExclusiveTest, SecondOpenWhileTheFirstIsOpen)
{
    std::map<UCHAR, int> seen;
    IrpHandler count = [&](PDEVICE_OBJECT, PIRP irp) {
        ++seen[IoGetCurrentIrpStackLocation(irp)->MajorFunction];
        return Complete(irp, STATUS_SUCCESS);
    };
    PDEVICE_OBJECT device = m_driver.CreateDevice(L"\\Device\\Exclusive", &count, GetParam().exclusive);
    EXPECT_EQ((device->Flags & DO_EXCLUSIVE) != 0, GetParam().exclusive);
    std::shared_ptr<OpenFile> first;
    std::shared_ptr<OpenFile> second;
    ASSERT_EQ(Io().Open(u"\\Device\\Exclusive", GENERIC_READ | GENERIC_WRITE, 0, &first), STATUS_SUCCESS);
    EXPECT_EQ(Io().Open(u"\\Device\\Exclusive", GENERIC_READ, 0, &second), GetParam().secondOpen);
    EXPECT_EQ(seen[IRP_MJ_CREATE], GetParam().exclusive ? 1 : 2);
    if (second)
    {
        Io().Close(second);
    }
    EXPECT_EQ(Io().Close(first), STATUS_SUCCESS);
    EXPECT_EQ(Io().Close(first), STATUS_INVALID_HANDLE) << "a file is closed once";
    EXPECT_EQ(seen[IRP_MJ_CLEANUP], seen[IRP_MJ_CREATE]);
    EXPECT_EQ(seen[IRP_MJ_CLOSE], seen[IRP_MJ_CREATE]);
    // Once the first open is closed, a new one is admitted.
    std::shared_ptr<OpenFile> third;
    EXPECT_EQ(Io().Open(u"\\Device\\Exclusive", GENERIC_READ, 0, &third), STATUS_SUCCESS);
    Io().Close(third);
}

INSTANTIATE_TEST_SUITE_P(Devices, ExclusiveTest,
                         ::testing::Values(ExclusiveCase{"Exclusive", true, STATUS_ACCESS_DENIED},
                                           ExclusiveCase{"Shared", false, STATUS_SUCCESS}),
                         [](const ::testing::TestParamInfo<ExclusiveCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(IoTest, OpenOfADeviceStillInitialisingFails)
{
    UNICODE_STRING name = Us(L"\\Device\\NotReady");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(
        IoCreateDevice(m_driver.Object(), sizeof(IrpHandler*), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
        STATUS_SUCCESS);
    *static_cast<IrpHandler**>(device->DeviceExtension) = &m_complete;
    std::shared_ptr<OpenFile> file;
    EXPECT_NE(Io().Open(u"\\Device\\NotReady", GENERIC_READ, 0, &file), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(Io().Open(u"\\Device\\NotReady", GENERIC_READ, 0, &file), STATUS_SUCCESS);
    Io().Close(file);
}

// A three-device stack (top, middle, bottom); the top and middle drivers pass the IRP down with a
// completion routine each, the bottom driver completes it.
class CompletionTest : public IoTest
{
  protected:
    struct Routine
    {
        CompletionTest* test;
        const char* name;
        NTSTATUS result;
    };

    static NTSTATUS Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context)
    {
        auto* routine = static_cast<Routine*>(context);
        routine->test->m_log.push_back(routine->name);
        routine->test->m_devices.push_back(device);
        routine->test->m_statuses.push_back(irp->IoStatus.Status);
        return routine->result;
    }

    IrpHandler PassDown(Routine* routine, bool invokeOnError)
    {
        return [this, routine, invokeOnError](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Completed, routine, TRUE, invokeOnError ? TRUE : FALSE, TRUE);
            return IoCallDriver(m_lower.at(device), irp);
        };
    }

    void Build(bool middleInvokesOnError, NTSTATUS bottomStatus, NTSTATUS middleResult)
    {
        m_middleRoutine = Routine{this, "middle", middleResult};
        m_topRoutine = Routine{this, "top", STATUS_SUCCESS};
        m_originatorRoutine = Routine{this, "originator", STATUS_MORE_PROCESSING_REQUIRED};
        m_bottomHandler = [bottomStatus](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, bottomStatus, 7); };
        m_middleHandler = PassDown(&m_middleRoutine, middleInvokesOnError);
        m_topHandler = PassDown(&m_topRoutine, true);
        m_bottom = m_driver.CreateDevice(nullptr, &m_bottomHandler);
        m_middle = m_driver.CreateDevice(nullptr, &m_middleHandler);
        m_top = m_driver.CreateDevice(nullptr, &m_topHandler);
        EXPECT_EQ(IoAttachDeviceToDeviceStack(m_middle, m_bottom), m_bottom);
        EXPECT_EQ(IoAttachDeviceToDeviceStack(m_top, m_bottom), m_middle)
            << "attaches to the top of the stack";
        m_lower[m_middle] = m_bottom;
        m_lower[m_top] = m_middle;
        EXPECT_EQ(m_top->StackSize, 3);
    }

    // A driver-allocated IRP sent to the top of the stack; the originator's routine keeps it.
    NTSTATUS Send()
    {
        m_irp = IoAllocateIrp(m_top->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        m_irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoSetCompletionRoutine(m_irp, Completed, &m_originatorRoutine, TRUE, TRUE, TRUE);
        return IoCallDriver(m_top, m_irp);
    }

    std::vector<std::string> m_log;
    std::vector<PDEVICE_OBJECT> m_devices;
    std::vector<NTSTATUS> m_statuses;
    Routine m_middleRoutine{};
    Routine m_topRoutine{};
    Routine m_originatorRoutine{};
    IrpHandler m_bottomHandler;
    IrpHandler m_middleHandler;
    IrpHandler m_topHandler;
    PDEVICE_OBJECT m_bottom = nullptr;
    PDEVICE_OBJECT m_middle = nullptr;
    PDEVICE_OBJECT m_top = nullptr;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> m_lower;
    PIRP m_irp = nullptr;
};

TEST_F(CompletionTest, RoutinesRunBottomUpWithTheDeviceOfTheDriverThatSetThem)
{
    Build(true, STATUS_SUCCESS, STATUS_SUCCESS);
    EXPECT_EQ(Send(), STATUS_SUCCESS);
    EXPECT_EQ(m_log, (std::vector<std::string>{"middle", "top", "originator"}));
    EXPECT_EQ(m_devices, (std::vector<PDEVICE_OBJECT>{m_middle, m_top, nullptr}))
        << "the originator owns no stack location of its own";
    EXPECT_EQ(m_irp->IoStatus.Information, 7u);
    IoFreeIrp(m_irp);
}

TEST_F(CompletionTest, RoutineNotAskedToRunOnErrorIsSkipped)
{
    Build(false, STATUS_DEVICE_NOT_CONNECTED, STATUS_SUCCESS);
    EXPECT_EQ(Send(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(m_log, (std::vector<std::string>{"top", "originator"}));
    EXPECT_EQ(m_statuses, (std::vector<NTSTATUS>{STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED}));
    IoFreeIrp(m_irp);
}

TEST_F(CompletionTest, MoreProcessingRequiredStopsTheWalkUntilTheIrpIsCompletedAgain)
{
    Build(true, STATUS_SUCCESS, STATUS_MORE_PROCESSING_REQUIRED);
    Send();
    EXPECT_EQ(m_log, std::vector<std::string>{"middle"}) << "the middle driver owns the IRP again";
    // The middle driver finishes its work and completes the IRP once more.
    m_irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(m_irp, IO_NO_INCREMENT);
    EXPECT_EQ(m_log, (std::vector<std::string>{"middle", "top", "originator"}));
    EXPECT_EQ(m_statuses.back(), STATUS_CANCELLED);
    IoFreeIrp(m_irp);
}

// IoCancelIrp calls the cancel routine at DISPATCH_LEVEL with the cancel spin lock held; the
// routine releases it and completes the IRP.
struct CancelObserved
{
    bool called = false;
    KIRQL irql = PASSIVE_LEVEL;
    bool lockHeld = false;
    BOOLEAN cancel = FALSE;
    PDRIVER_CANCEL routineDuringCall = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

class CancelTest : public IoTest
{
  protected:
    static inline CancelObserved s_observed;
    static inline CancelTest* s_test;

    static VOID CancelRoutine(PDEVICE_OBJECT device, PIRP irp)
    {
        s_observed.called = true;
        s_observed.irql = KeGetCurrentIrql();
        s_observed.lockHeld = __atomic_load_n(s_test->Io().CancelLock(), __ATOMIC_SEQ_CST) != 0;
        s_observed.cancel = irp->Cancel;
        s_observed.routineDuringCall = irp->CancelRoutine;
        s_observed.device = device;
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Complete(irp, STATUS_CANCELLED);
    }

    static NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        *static_cast<NTSTATUS*>(context) = STATUS_MORE_PROCESSING_REQUIRED;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    void SetUp() override
    {
        s_observed = CancelObserved{};
        s_test = this;
    }

    PIRP SendPending(PDEVICE_OBJECT device, NTSTATUS* completed)
    {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, KeepIrp, completed, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
        return irp;
    }
};

TEST_F(CancelTest, CancelRoutineRunsWithTheCancelSpinLockHeld)
{
    IrpHandler pend = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelRoutine);
        return STATUS_PENDING;
    };
    PDEVICE_OBJECT device = m_driver.CreateDevice(nullptr, &pend);
    NTSTATUS completed = STATUS_PENDING;
    PIRP irp = SendPending(device, &completed);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_TRUE(s_observed.called);
    EXPECT_EQ(s_observed.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(s_observed.lockHeld);
    EXPECT_TRUE(s_observed.cancel);
    EXPECT_EQ(s_observed.routineDuringCall, nullptr)
        << "the I/O manager clears the routine before calling it";
    EXPECT_EQ(s_observed.device, device);
    EXPECT_EQ(completed, STATUS_MORE_PROCESSING_REQUIRED) << "the IRP was completed";
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(__atomic_load_n(Io().CancelLock(), __ATOMIC_SEQ_CST), 0u)
        << "the cancel spin lock is free again";
    IoFreeIrp(irp);
}

TEST_F(CancelTest, IrpWithoutCancelRoutineIsOnlyMarked)
{
    PIRP held = nullptr;
    IrpHandler pend = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    PDEVICE_OBJECT device = m_driver.CreateDevice(nullptr, &pend);
    NTSTATUS completed = STATUS_PENDING;
    PIRP irp = SendPending(device, &completed);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel) << "the driver sees the request as cancelled when it next looks";
    EXPECT_FALSE(s_observed.called);
    EXPECT_EQ(completed, STATUS_PENDING);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    Complete(held, STATUS_CANCELLED);
    EXPECT_EQ(completed, STATUS_MORE_PROCESSING_REQUIRED);
    IoFreeIrp(irp);
}

// Device interfaces: the link name Windows builds from the instance path and class GUID, its
// enable and disable, and the DeviceClasses registry keys.
class InterfaceTest : public IoTest
{
  protected:
    static constexpr GUID kClass = {
        0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
    static constexpr char16_t kClassText[] = u"{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

    void SetUp() override
    {
        m_pdo = m_driver.CreateDevice(L"\\Device\\IoPdo0", &m_complete);
        m_system.Pnp().ReportDevice(m_pdo, u"USB\\VID_1234&PID_5678\\SER1", {u"USB\\VID_1234&PID_5678"}, {},
                                    u"Test device", u"Port_#0001");
    }

    std::u16string InstanceKey() const
    {
        return std::u16string(winsim::kernel::ControlKeyPath) + u"\\DeviceClasses\\" + kClassText +
               u"\\##?#USB#VID_1234&PID_5678#SER1#" + kClassText;
    }

    PDEVICE_OBJECT m_pdo = nullptr;
};

TEST_F(InterfaceTest, RegisterEnableAndDisable)
{
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(m_pdo, &kClass, nullptr, &link), STATUS_SUCCESS);
    const std::u16string expected = std::u16string(u"\\??\\USB#VID_1234&PID_5678#SER1#") + kClassText;
    EXPECT_EQ(Text(&link), expected);
    auto& registry = m_system.GetRegistry();
    auto instance = registry.OpenKey(InstanceKey());
    ASSERT_NE(instance, nullptr) << "the registration is kept under DeviceClasses";
    EXPECT_EQ(instance->GetString(u"DeviceInstance"), u"USB\\VID_1234&PID_5678\\SER1");
    EXPECT_EQ(Names().Lookup(expected), nullptr) << "a registered interface is not enabled yet";

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Names().Lookup(expected), m_pdo);
    EXPECT_EQ(Names().Lookup(u"\\GLOBAL??\\USB#VID_1234&PID_5678#SER1#" + std::u16string(kClassText)), m_pdo);
    auto control = registry.OpenKey(InstanceKey() + u"\\#\\Control");
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->GetDword(u"Linked"), 1u);
    auto interfaces = m_system.Namespace().Interfaces(kClass);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS)
        << "enabling an enabled interface is reported";

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Names().Lookup(expected), nullptr);
    EXPECT_EQ(registry.OpenKey(InstanceKey() + u"\\#\\Control"), nullptr);
    EXPECT_NE(registry.OpenKey(InstanceKey()), nullptr) << "the registration itself stays";
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND)
        << "disabling an interface that is not enabled fails";
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(m_system.GetPool().LiveCount(), 0u) << "the caller frees the link name";
}

TEST_F(InterfaceTest, RegisteringTwiceGivesTheSameInstanceAndAReferenceStringExtendsTheLink)
{
    UNICODE_STRING first{};
    UNICODE_STRING second{};
    UNICODE_STRING referenced{};
    UNICODE_STRING reference = Us(L"Data");
    ASSERT_EQ(IoRegisterDeviceInterface(m_pdo, &kClass, nullptr, &first), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(m_pdo, &kClass, nullptr, &second), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(m_pdo, &kClass, &reference, &referenced), STATUS_SUCCESS);
    EXPECT_EQ(Text(&first), Text(&second));
    EXPECT_EQ(Text(&referenced), Text(&first) + u"\\Data");
    EXPECT_EQ(m_system.Namespace().Interfaces(kClass).size(), 2u);
    UNICODE_STRING unknown = Us(L"\\??\\USB#VID_0000&PID_0000#X#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
    RtlFreeUnicodeString(&referenced);
}

TEST_F(InterfaceTest, RemovingTheDeviceDisablesItsInterfaces)
{
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(m_pdo, &kClass, nullptr, &link), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    m_system.Namespace().RemoveInterfacesOf(m_pdo);
    EXPECT_EQ(Names().Lookup(Text(&link)), nullptr);
    EXPECT_TRUE(m_system.Namespace().Interfaces(kClass).empty());
    RtlFreeUnicodeString(&link);
}

// IRP rules the verifier enforces.
void SendThrough(NTSTATUS (*dispatch)(PDEVICE_OBJECT, PIRP))
{
    TestDriver driver(u"irpstop");
    IrpHandler handler = dispatch;
    PDEVICE_OBJECT device = driver.CreateDevice(nullptr, &handler);
    System::Current().Io().SendSynchronous(device, nullptr, [](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    });
}

VOID IgnoreCancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

const StopCase kIrpStops[] = {
    {"CompletedTwice",
     [] {
         SendThrough([](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             return Complete(irp, STATUS_SUCCESS);
         });
     },
     "VERIFIER STOP REQUEST_COMPLETED_TWICE: IRP 0x[0-9a-f]+ was completed twice"},
    {"CompletedWithCancelRoutineSet",
     [] {
         SendThrough([](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, IgnoreCancel);
             return Complete(irp, STATUS_SUCCESS);
         });
     },
     "VERIFIER STOP REQUEST_STILL_CANCELABLE: IRP 0x[0-9a-f]+ completed while its cancel routine 0x[0-9a-f]+ "
     "is set"},
    {"CompletedWithStatusPending",
     [] { SendThrough([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); }); },
     "VERIFIER STOP IRP_MISUSE: IRP 0x[0-9a-f]+ completed with STATUS_PENDING"},
    {"DriverIrpCompletedPastItsTop",
     [] {
         TestDriver driver(u"irpstop");
         IrpHandler handler = CompleteEverything();
         PDEVICE_OBJECT device = driver.CreateDevice(nullptr, &handler);
         PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoCallDriver(device, irp);
     },
     "VERIFIER STOP IRP_MISUSE: IRP 0x[0-9a-f]+, allocated by a driver, was completed past its top stack "
     "location"},
    {"FreedTwice",
     [] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     },
     "VERIFIER STOP IRP_MISUSE: IoFreeIrp\\(0x[0-9a-f]+\\): not an IRP allocated by IoAllocateIrp, or freed "
     "twice"},
};

INSTANTIATE_TEST_SUITE_P(Irps, KernelVerifierDeathTest, ::testing::ValuesIn(kIrpStops), StopCaseName);

} // namespace
