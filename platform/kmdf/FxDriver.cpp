// The framework driver: driver creation and unload, AddDevice, and WdfDriver*.
#include "FxDriver.h"

#include "FxDevice.h"
#include "FxRegKey.h"
#include "FxString.h"
#include "FxVerifier.h"

#include <stdio.h>

namespace winsim::wdf
{

namespace
{
std::mutex g_driversLock;
std::vector<FxDriver*> g_drivers;
} // namespace

FxDriver::FxDriver(PDRIVER_OBJECT wdm, PCUNICODE_STRING registryPath, const WDF_DRIVER_CONFIG& config)
    : FxObject(FxType::Driver, this), m_wdm(wdm), m_registryPath(Text(registryPath)), m_config(config)
{
}

FxDriver* FxDriver::Current(const char* routine)
{
    std::lock_guard<std::mutex> guard(g_driversLock);
    if (g_drivers.empty())
    {
        VerifierStop(VerifierRule::ObjectMisuse, "%s called before WdfDriverCreate", routine);
    }
    return g_drivers.back();
}

FxDriver* FxDriver::FromWdm(PDRIVER_OBJECT wdm)
{
    std::lock_guard<std::mutex> guard(g_driversLock);
    for (FxDriver* driver : g_drivers)
    {
        if (driver->m_wdm == wdm)
        {
            return driver;
        }
    }
    return nullptr;
}

NTSTATUS FxDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    FxDevice* fx = FxDevice::FromWdm(device);
    return fx->Dispatch(irp, true);
}

NTSTATUS FxDriver::AddDevice(PDRIVER_OBJECT wdm, PDEVICE_OBJECT pdo)
{
    FxDriver* driver = FromWdm(wdm);
    WDFDEVICE_INIT init;
    init.driver = driver;
    init.pdo = pdo;
    FxDevice* created = nullptr;
    init.createdDevice = &created;
    NTSTATUS status =
        driver->m_config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(driver->Handle()), &init);
    if (created == nullptr)
    {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    if (!NT_SUCCESS(status))
    {
        // The framework deletes a device whose add callback failed; its cleanup callback runs.
        created->RemoveByFramework();
        return status;
    }
    created->Fdo()->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID FxDriver::Unload(PDRIVER_OBJECT wdm)
{
    FxDriver* driver = FromWdm(wdm);
    if (driver == nullptr)
    {
        return;
    }
    if (driver->m_config.EvtDriverUnload != nullptr)
    {
        driver->m_config.EvtDriverUnload(reinterpret_cast<WDFDRIVER>(driver->Handle()));
    }
    {
        std::lock_guard<std::mutex> guard(g_driversLock);
        std::erase(g_drivers, driver);
    }
    // Keep the driver alive across the check so that its own report can name it.
    driver->AddRef(reinterpret_cast<PVOID>(&Unload), __LINE__, __FILE__);
    driver->DisposeTree();
    std::vector<FxObject*> leaked = LiveObjectsOf(driver);
    std::erase(leaked, static_cast<FxObject*>(driver));
    if (!leaked.empty())
    {
        std::string list;
        for (FxObject* object : leaked)
        {
            char line[160];
            snprintf(line, sizeof(line), "\n    %s %p%s%s", FxTypeName(object->Type()),
                     static_cast<void*>(object),
                     object->IsDisposed() ? " (deleted, still referenced:" : " (never deleted",
                     (object->DescribeReferences() + ")").c_str());
            list += line;
        }
        VerifierStop(VerifierRule::ObjectLeak, "%zu framework object(s) outlive the driver at unload:%s",
                     leaked.size(), list.c_str());
    }
    driver->Release(reinterpret_cast<PVOID>(&Unload), __LINE__, __FILE__);
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                             PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                             WDFDRIVER* Driver)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDriverCreate");
        if (DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG))
        {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (FxDriver::FromWdm(DriverObject) != nullptr)
        {
            return STATUS_DRIVER_INTERNAL_ERROR;
        }
        auto* driver = new FxDriver(DriverObject, RegistryPath, *DriverConfig);
        NTSTATUS status = driver->Initialize(DriverAttributes, nullptr, "WdfDriverCreate");
        if (!NT_SUCCESS(status))
        {
            FxObject::Discard(driver);
            return status;
        }
        {
            std::lock_guard<std::mutex> guard(g_driversLock);
            g_drivers.push_back(driver);
        }
        for (auto& dispatch : DriverObject->MajorFunction)
        {
            dispatch = FxDriver::Dispatch;
        }
        if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) == 0)
        {
            DriverObject->DriverExtension->AddDevice = FxDriver::AddDevice;
        }
        DriverObject->DriverUnload = FxDriver::Unload;
        if (Driver != nullptr)
        {
            *Driver = reinterpret_cast<WDFDRIVER>(driver->Handle());
        }
        return STATUS_SUCCESS;
    }

    PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
    {
        return FxObject::Get<FxDriver>(Driver, FxType::Driver, "WdfDriverWdmGetDriverObject")->Wdm();
    }

    PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver)
    {
        return FxObject::Get<FxDriver>(Driver, FxType::Driver, "WdfDriverGetRegistryPath")->RegistryPath();
    }

    WDFDRIVER WdfGetDriver(void)
    {
        return reinterpret_cast<WDFDRIVER>(FxDriver::Current("WdfGetDriver")->Handle());
    }

    NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                                PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        FxDriver* driver =
            FxObject::Get<FxDriver>(Driver, FxType::Driver, "WdfDriverOpenParametersRegistryKey");
        std::u16string path = driver->RegistryPathText() + u"\\Parameters";
        UNICODE_STRING name{static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                            reinterpret_cast<PWCH>(path.data())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        HANDLE handle = nullptr;
        // The Parameters key is created when it does not exist yet.
        NTSTATUS status =
            ZwCreateKey(&handle, DesiredAccess, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        return FxRegKey::Open(handle, KeyAttributes, driver, Key, "WdfDriverOpenParametersRegistryKey");
    }

} // extern "C"
