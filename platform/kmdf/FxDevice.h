// The framework device (WDFDEVICE) and its initialisation (WDFDEVICE_INIT): device creation on
// top of the WDM device stack, the dispatch of IRPs to framework callbacks and queues, file
// objects, Plug and Play start and removal, symbolic links and device interfaces.
#pragma once

#include "FxLock.h"
#include "FxObject.h"

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// What WdfDeviceInit* calls record until WdfDeviceCreate uses it.
struct WDFDEVICE_INIT
{
    winsim::wdf::FxDriver* driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::optional<std::u16string> name;
    std::optional<std::u16string> sddl;
    bool exclusive = false;
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    std::optional<WDF_OBJECT_ATTRIBUTES> requestAttributes;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
    bool powerPolicyOwner = true;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    std::optional<WDF_OBJECT_ATTRIBUTES> fileAttributes;
    struct Preprocess
    {
        PFN_WDFDEVICE_WDM_IRP_PREPROCESS callback = nullptr;
        std::vector<UCHAR> minors;
    };
    std::map<UCHAR, Preprocess> preprocess;
    bool deviceCreated = false;
    winsim::wdf::FxDevice** createdDevice = nullptr;
};

namespace winsim::wdf
{

class FxIoQueue;
class FxRequest;
class FxFileObject;

class FxDevice : public FxObject
{
  public:
    FxDevice(FxDriver* driver, WDFDEVICE_INIT& init);

    static FxDevice* FromWdm(PDEVICE_OBJECT wdm);

    PDEVICE_OBJECT Fdo() const { return m_fdo; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    PDEVICE_OBJECT Lower() const { return m_lower; }
    FxSyncLock& SyncLock() { return m_sync; }
    FxIoQueue* DefaultQueue() const { return m_defaultQueue; }
    void SetDefaultQueue(FxIoQueue* queue) { m_defaultQueue = queue; }
    const WDFDEVICE_INIT& Init() const { return m_init; }

    NTSTATUS CreateWdm(const WDFDEVICE_INIT& init);
    NTSTATUS Dispatch(PIRP irp, bool allowPreprocess);

    NTSTATUS CreateSymbolicLink(PCUNICODE_STRING name);
    NTSTATUS CreateDeviceInterface(const GUID* guid, PCUNICODE_STRING reference);

    // Removal as Plug and Play drives it: the framework deletes the device (and, unless the
    // caller does it, detaches and deletes the WDM device object).
    void RemoveByFramework(bool deleteWdm = true);
    void DropFile(FxFileObject* file);
    // Requests that belong to this device and have not been completed.
    void TrackRequest(FxRequest* request, bool live);

  protected:
    bool DriverMayDelete() const override { return false; }

  private:
    NTSTATUS DispatchCreate(PIRP irp);
    NTSTATUS DispatchCleanupClose(PIRP irp, bool close);
    NTSTATUS DispatchIo(PIRP irp);
    FxFileObject* FindFile(PFILE_OBJECT wdm);
    FxRequest* PendRequest(PIRP irp, FxFileObject* file, const char* routine);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS ForwardAndWait(PIRP irp);
    NTSTATUS ForwardAndForget(PIRP irp);
    NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

    WDFDEVICE_INIT m_init;
    PDEVICE_OBJECT m_fdo = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_lower = nullptr;
    FxSyncLock m_sync;
    FxIoQueue* m_defaultQueue = nullptr;
    std::vector<std::u16string> m_links;
    std::vector<std::u16string> m_interfaces;
    std::mutex m_lock;
    std::unordered_map<PFILE_OBJECT, FxFileObject*> m_files;
    std::vector<FxRequest*> m_requests;
    bool m_started = false;
};

// The nearest device above an object in its parent chain.
FxDevice* DeviceAbove(FxObject* object);

} // namespace winsim::wdf
