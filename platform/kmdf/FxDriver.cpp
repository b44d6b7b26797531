// The framework driver: driver creation and unload, AddDevice, and WdfDriver*.
#include "FxDriver.h"

#include "FxDevice.h"
#include "FxRegKey.h"
#include "FxString.h"
#include "FxVerifier.h"

#include <wdfldr.h>

#include <stdio.h>

#include <algorithm>
#include <unordered_set>

namespace winsim::wdf
{

namespace
{
// Guards both lists.
std::mutex g_driversLock;
std::vector<FxDriver*> g_drivers;
std::unordered_set<FxDriverGlobals*> g_bound;

// The service name (the last part of the registry path) in the globals' narrow name field.
void SetDriverName(WDF_DRIVER_GLOBALS& globals, PCUNICODE_STRING registryPath)
{
    std::u16string path = Text(registryPath);
    std::u16string service = path.substr(path.find_last_of(u'\\') + 1);
    size_t length = std::min(service.size(), sizeof(globals.DriverName) - 1);
    for (size_t i = 0; i < length; ++i)
    {
        globals.DriverName[i] = service[i] < 0x80 ? static_cast<CHAR>(service[i]) : '?';
    }
    globals.DriverName[length] = 0;
}
} // namespace

FxDriverGlobals* FxDriverGlobals::Bound(PWDF_DRIVER_GLOBALS globals, const char* routine)
{
    auto* bound = reinterpret_cast<FxDriverGlobals*>(globals);
    std::lock_guard<std::mutex> guard(g_driversLock);
    if (globals == nullptr || g_bound.count(bound) == 0)
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "%s: the calling driver image is not bound to the framework (driver globals %p); "
                     "its entry point must be the framework's FxDriverEntry",
                     routine, static_cast<void*>(globals));
    }
    return bound;
}

FxDriver::FxDriver(FxDriverGlobals* globals, PDRIVER_OBJECT wdm, PCUNICODE_STRING registryPath,
                   const WDF_DRIVER_CONFIG& config)
    : FxObject(FxType::Driver, this), m_globals(globals), m_wdm(wdm), m_registryPath(Text(registryPath)),
      m_config(config)
{
}

FxDriver* FxDriver::FromGlobals(PWDF_DRIVER_GLOBALS globals, const char* routine)
{
    FxDriverGlobals* bound = FxDriverGlobals::Bound(globals, routine);
    std::lock_guard<std::mutex> guard(g_driversLock);
    if (bound->Driver == nullptr)
    {
        VerifierStop(VerifierRule::ObjectMisuse, "%s called before WdfDriverCreate", routine);
    }
    return bound->Driver;
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
    if (fx == nullptr)
    {
        // The device was removed while a file stayed open on it: the file's last requests find
        // no device; its cleanup and close succeed.
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        NTSTATUS status =
            major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
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
    Teardown(driver, "at unload");
}

void FxDriver::Teardown(FxDriver* driver, const char* when)
{
    {
        std::lock_guard<std::mutex> guard(g_driversLock);
        std::erase(g_drivers, driver);
        driver->m_globals->Driver = nullptr;
        driver->m_globals->Public.Driver = nullptr;
    }
    // Keep the driver alive across the check so that its own report can name it.
    PVOID const teardownTag = reinterpret_cast<PVOID>(&Teardown);
    driver->AddRef(teardownTag, __LINE__, __FILE__);
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
        VerifierStop(VerifierRule::ObjectLeak, "%zu framework object(s) outlive the driver %s:%s",
                     leaked.size(), when, list.c_str());
    }
    driver->Release(teardownTag, __LINE__, __FILE__);
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    NTSTATUS imp_WdfDriverCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PDRIVER_OBJECT DriverObject,
                                 PCUNICODE_STRING RegistryPath, PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                 PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDriverCreate");
        FxDriverGlobals* globals = FxDriverGlobals::Bound(DriverGlobals, "WdfDriverCreate");
        if (DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG))
        {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (globals->Driver != nullptr || FxDriver::FromWdm(DriverObject) != nullptr)
        {
            return STATUS_DRIVER_INTERNAL_ERROR;
        }
        auto* driver = new FxDriver(globals, DriverObject, RegistryPath, *DriverConfig);
        NTSTATUS status = driver->Initialize(DriverAttributes, nullptr, "WdfDriverCreate");
        if (!NT_SUCCESS(status))
        {
            FxObject::Discard(driver);
            return status;
        }
        {
            std::lock_guard<std::mutex> guard(g_driversLock);
            g_drivers.push_back(driver);
            globals->Driver = driver;
            globals->Public.Driver = reinterpret_cast<WDFDRIVER>(driver->Handle());
            globals->Public.DriverTag = DriverConfig->DriverPoolTag;
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

    PDRIVER_OBJECT imp_WdfDriverWdmGetDriverObject(PWDF_DRIVER_GLOBALS, WDFDRIVER Driver)
    {
        return FxObject::Get<FxDriver>(Driver, FxType::Driver, "WdfDriverWdmGetDriverObject")->Wdm();
    }

    PWSTR imp_WdfDriverGetRegistryPath(PWDF_DRIVER_GLOBALS, WDFDRIVER Driver)
    {
        return FxObject::Get<FxDriver>(Driver, FxType::Driver, "WdfDriverGetRegistryPath")->RegistryPath();
    }

    WDFDRIVER imp_WdfGetDriver(PWDF_DRIVER_GLOBALS DriverGlobals)
    {
        return reinterpret_cast<WDFDRIVER>(FxDriver::FromGlobals(DriverGlobals, "WdfGetDriver")->Handle());
    }

    NTSTATUS imp_WdfDriverOpenParametersRegistryKey(PWDF_DRIVER_GLOBALS, WDFDRIVER Driver,
                                                    ACCESS_MASK DesiredAccess,
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

    // --- binding of driver images (the framework loader's side) ---

    NTSTATUS WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                            PWDF_BIND_INFO BindInfo, PWDF_COMPONENT_GLOBALS* ComponentGlobals)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfVersionBind");
        if (DriverObject == nullptr || BindInfo == nullptr || BindInfo->Size != sizeof(WDF_BIND_INFO) ||
            ComponentGlobals == nullptr)
        {
            return STATUS_INVALID_PARAMETER;
        }
        if (*ComponentGlobals != nullptr)
        {
            // Windows maps a fresh image for every load; an image built into the host process is
            // one image, and it can hold one driver at a time.
            VerifierStop(VerifierRule::ObjectMisuse,
                         "WdfVersionBind: the image is bound already (driver globals %p); one image "
                         "cannot hold two drivers at once",
                         static_cast<void*>(*ComponentGlobals));
        }
        auto* globals = new FxDriverGlobals{};
        SetDriverName(globals->Public, RegistryPath);
        {
            std::lock_guard<std::mutex> guard(g_driversLock);
            g_bound.insert(globals);
        }
        *ComponentGlobals = reinterpret_cast<PWDF_COMPONENT_GLOBALS>(&globals->Public);
        return STATUS_SUCCESS;
    }

    NTSTATUS WdfVersionUnbind(PUNICODE_STRING, PWDF_BIND_INFO, PWDF_COMPONENT_GLOBALS ComponentGlobals)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfVersionUnbind");
        FxDriverGlobals* globals = FxDriverGlobals::Bound(
            reinterpret_cast<PWDF_DRIVER_GLOBALS>(ComponentGlobals), "WdfVersionUnbind");
        FxDriver* driver = nullptr;
        {
            std::lock_guard<std::mutex> guard(g_driversLock);
            driver = globals->Driver;
        }
        if (driver != nullptr)
        {
            // DriverEntry failed after WdfDriverCreate: the framework deletes the driver, so its
            // cleanup callback runs, and nothing of it may be left.
            FxDriver::Teardown(driver, "after its DriverEntry failed");
        }
        {
            std::lock_guard<std::mutex> guard(g_driversLock);
            g_bound.erase(globals);
        }
        delete globals;
        return STATUS_SUCCESS;
    }

} // extern "C"
