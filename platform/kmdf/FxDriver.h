// The framework's driver, device, queue, request and utility objects.
#pragma once

#include "Fx.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <thread>

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

class FxDevice;
class FxIoQueue;
class FxRequest;
class FxFileObject;

// An object with no behaviour of its own (WdfObjectCreate).
class FxGenericObject : public FxObject
{
  public:
    explicit FxGenericObject(FxDriver* driver) : FxObject(FxType::Object, driver) {}
};

class FxDriver : public FxObject
{
  public:
    FxDriver(PDRIVER_OBJECT wdm, PCUNICODE_STRING registryPath, const WDF_DRIVER_CONFIG& config);

    // The driver of the calling module (the machine loads one framework driver at a time).
    static FxDriver* Current(const char* routine);
    static FxDriver* FromWdm(PDRIVER_OBJECT wdm);

    PDRIVER_OBJECT Wdm() const { return m_wdm; }
    PWSTR RegistryPath() { return reinterpret_cast<PWSTR>(m_registryPath.data()); }
    const std::u16string& RegistryPathText() const { return m_registryPath; }
    const WDF_DRIVER_CONFIG& Config() const { return m_config; }

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS AddDevice(PDRIVER_OBJECT wdm, PDEVICE_OBJECT pdo);
    static VOID Unload(PDRIVER_OBJECT wdm);

  protected:
    bool DriverMayDelete() const override { return false; }

  private:
    PDRIVER_OBJECT m_wdm;
    std::u16string m_registryPath;
    WDF_DRIVER_CONFIG m_config;
};

class FxFileObject : public FxObject
{
  public:
    FxFileObject(FxDriver* driver, FxDevice* device, PFILE_OBJECT wdm)
        : FxObject(FxType::FileObject, driver), m_device(device), m_wdm(wdm)
    {
    }
    FxDevice* Device() const { return m_device; }
    PFILE_OBJECT Wdm() const { return m_wdm; }

  protected:
    bool DriverMayDelete() const override { return false; }

  private:
    FxDevice* m_device;
    PFILE_OBJECT m_wdm;
};

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

class FxRequest : public FxObject
{
  public:
    // A request the framework made for an IRP that arrived at a device.
    FxRequest(FxDriver* driver, FxDevice* device, PIRP irp, FxFileObject* file);

    PIRP Irp() const { return m_irp; }
    FxDevice* Device() const { return m_device; }
    FxFileObject* File() const { return m_file; }
    FxIoQueue* Queue() const { return m_queue; }
    void SetQueue(FxIoQueue* queue) { m_queue = queue; }
    bool IsCompleted() const { return m_completed; }

    void GetParameters(PWDF_REQUEST_PARAMETERS parameters) const;
    void Complete(NTSTATUS status, std::optional<ULONG_PTR> information, const char* routine);
    void SetInformation(ULONG_PTR information) { m_information = information; }
    ULONG_PTR Information() const { return m_information; }
    NTSTATUS Status() const { return m_status; }
    void CheckUsable(const char* routine) const;

  protected:
    bool DriverMayDelete() const override { return false; }

  private:
    FxDevice* m_device;
    PIRP m_irp;
    FxFileObject* m_file;
    FxIoQueue* m_queue = nullptr;
    bool m_completed = false;
    NTSTATUS m_status = STATUS_SUCCESS;
    ULONG_PTR m_information = 0;
};

class FxIoQueue : public FxObject
{
  public:
    FxIoQueue(FxDriver* driver, FxDevice* device, const WDF_IO_QUEUE_CONFIG& config);

    FxDevice* Device() const { return m_device; }
    const WDF_IO_QUEUE_CONFIG& Config() const { return m_config; }

    // A request arrives at the queue (from the device or forwarded by the driver).
    NTSTATUS Enqueue(FxRequest* request, bool forwarded);
    NTSTATUS RetrieveNext(FxRequest** request);
    // A request this queue presented or handed out was completed or forwarded elsewhere.
    void DriverRequestDone(FxRequest* request);

    void Start();
    void Stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    void Purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    WDF_IO_QUEUE_STATE State(PULONG queued, PULONG driverOwned);

  protected:
    void OnDispose() override;

  private:
    void Present(FxRequest* request);
    void NotifyIdleLocked(std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>>& due);

    FxDevice* m_device;
    WDF_IO_QUEUE_CONFIG m_config;
    std::mutex m_lock;
    std::deque<FxRequest*> m_pending;
    std::vector<FxRequest*> m_driverOwned;
    bool m_accepting = true;
    bool m_dispatching = true;
    std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>> m_idleCallbacks;
};

class FxTimer : public FxObject
{
  public:
    FxTimer(FxDriver* driver, const WDF_TIMER_CONFIG& config);
    NTSTATUS Setup(const char* routine);
    bool Start(LONGLONG dueTime);
    bool Stop(bool wait);

  protected:
    void OnDispose() override;

  private:
    static KDEFERRED_ROUTINE TimerDpc;
    WDF_TIMER_CONFIG m_config;
    KTIMER m_timer{};
    KDPC m_dpc{};
    FxSyncLock* m_serializeWith = nullptr;
};

class FxWorkItem : public FxObject
{
  public:
    FxWorkItem(FxDriver* driver, const WDF_WORKITEM_CONFIG& config);
    NTSTATUS Setup(const char* routine);
    void Enqueue();
    void Flush();

  protected:
    void OnDispose() override;

  private:
    // What the worker thread shares with those waiting for the item to be idle. It outlives the
    // item: the worker's release of its reference may destroy the item before it reports idle.
    struct RunState
    {
        std::mutex lock;
        std::condition_variable idle;
        bool queued = false;
        bool running = false;
        std::thread::id runner; // the thread in the callback, while running
    };
    void Run(const std::shared_ptr<RunState>& state);
    void WaitUntilIdle();
    WDF_WORKITEM_CONFIG m_config;
    std::shared_ptr<RunState> m_state = std::make_shared<RunState>();
};

class FxSpinLock : public FxObject
{
  public:
    explicit FxSpinLock(FxDriver* driver) : FxObject(FxType::SpinLock, driver) {}
    void Acquire();
    void Release();

  protected:
    void OnDispose() override;

  private:
    KSPIN_LOCK m_lock = 0;
    KIRQL m_oldIrql = PASSIVE_LEVEL;
};

class FxWaitLock : public FxObject
{
  public:
    explicit FxWaitLock(FxDriver* driver);
    NTSTATUS Acquire(PLONGLONG timeout);
    void Release();

  protected:
    void OnDispose() override;

  private:
    KEVENT m_event{};
    std::atomic<void*> m_owner{nullptr};
};

class FxCollection : public FxObject
{
  public:
    explicit FxCollection(FxDriver* driver) : FxObject(FxType::Collection, driver) {}
    NTSTATUS Add(FxObject* item);
    void Remove(FxObject* item, const char* routine);
    void RemoveAt(ULONG index, const char* routine);
    FxObject* At(ULONG index);
    ULONG Count();

  protected:
    void OnDispose() override;

  private:
    std::mutex m_lock;
    std::vector<FxObject*> m_items;
};

class FxString : public FxObject
{
  public:
    explicit FxString(FxDriver* driver) : FxObject(FxType::String, driver) {}
    void Assign(const char16_t* text, size_t length);
    void Get(PUNICODE_STRING target);

  private:
    std::u16string m_text;
};

class FxMemory : public FxObject
{
  public:
    FxMemory(FxDriver* driver, void* buffer, size_t size, bool owned, ULONG tag)
        : FxObject(FxType::Memory, driver), m_buffer(buffer), m_size(size), m_owned(owned), m_tag(tag)
    {
    }
    void* Buffer() const { return m_buffer; }
    size_t Size() const { return m_size; }

  protected:
    ~FxMemory() override;

  private:
    void* m_buffer;
    size_t m_size;
    bool m_owned;
    ULONG m_tag;
};

class FxKey : public FxObject
{
  public:
    FxKey(FxDriver* driver, HANDLE handle) : FxObject(FxType::Key, driver), m_handle(handle) {}
    HANDLE KeyHandle() const { return m_handle; }

  protected:
    void OnDispose() override;

  private:
    HANDLE m_handle;
};

// The live framework objects a driver still has, for the leak check at unload.
std::vector<FxObject*> LiveObjectsOf(FxDriver* driver);

} // namespace winsim::wdf
