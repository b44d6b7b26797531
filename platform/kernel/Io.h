// The I/O manager: driver and device objects, device stacks, IRPs with their stack locations and
// completion, cancellation, and file objects opened on devices by name.
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace winsim::kernel
{

struct DeviceNode;

// What the I/O manager keeps beside each device object.
struct DeviceObjectInfo
{
    std::u16string name;
    PDEVICE_OBJECT lowerDevice = nullptr; // the device this one is attached to
    bool deleted = false;                 // IoDeleteDevice was called; freed at the last close
    DeviceNode* node = nullptr;           // the device node, for physical device objects
    LONG pointerCount = 0;                // ObReferenceObject references
};

// One open of a device, the kernel side of a file handle.
struct OpenFile
{
    PFILE_OBJECT fileObject = nullptr;
    PDEVICE_OBJECT namedDevice = nullptr; // the device the name resolved to
    PDEVICE_OBJECT topDevice = nullptr;   // the top of its stack, which receives the IRPs
    bool closed = false;
};

struct IoResult
{
    NTSTATUS status;
    ULONG_PTR information;
};

class IoManager
{
  public:
    IoManager();
    ~IoManager();

    // --- driver objects ---
    PDRIVER_OBJECT CreateDriverObject(std::u16string_view serviceName);
    void DeleteDriverObject(PDRIVER_OBJECT driver);
    std::u16string ServiceName(PDRIVER_OBJECT driver) const;

    // --- device objects (IoCreateDevice and friends) ---
    NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                          ULONG characteristics, bool exclusive, PDEVICE_OBJECT* device);
    void DeleteDevice(PDEVICE_OBJECT device);
    PDEVICE_OBJECT AttachDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    void DetachDevice(PDEVICE_OBJECT target);
    static PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
    // Files open on any device of the stack above a device (the device included).
    LONG OpenCountOfStack(PDEVICE_OBJECT bottom) const;
    static DeviceObjectInfo& Info(PDEVICE_OBJECT device);
    bool IsLiveDevice(PDEVICE_OBJECT device) const;
    size_t DeviceCount(PDRIVER_OBJECT driver) const;
    // The driver's device objects still in memory, deleted ones that something refers to included.
    size_t DeviceObjectCount(PDRIVER_OBJECT driver) const;

    // --- IRPs ---
    PIRP AllocateIrp(CCHAR stackSize);
    void FreeIrp(PIRP irp);
    void ReuseIrp(PIRP irp, NTSTATUS status);
    NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp);
    void CompleteRequest(PIRP irp);
    bool CancelIrp(PIRP irp);

    // An IRP the I/O manager builds for a caller that is not a driver (user mode's requests, its own
    // synchronous ones). When a driver completes it past its top location, finished runs (at the
    // completing IRQL, on the completing thread) and owns the IRP from then on: it releases it with
    // FreeSystemIrp.
    PIRP AllocateSystemIrp(CCHAR stackSize, std::function<void(PIRP)> finished);
    void FreeSystemIrp(PIRP irp);

    // Sends an IRP the I/O manager builds to the top of a device stack and waits for it.
    // prepare fills the first stack location (major function, parameters) and the IRP's buffers.
    IoResult SendSynchronous(PDEVICE_OBJECT device, PFILE_OBJECT file,
                             const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare);

    // --- files ---
    // options: NtCreateFile's create options (FILE_SYNCHRONOUS_IO_* mark the file object for
    // synchronous I/O).
    NTSTATUS Open(std::u16string_view name, ACCESS_MASK access, ULONG shareAccess,
                  std::shared_ptr<OpenFile>* file, ULONG options = 0);
    // Cleanup then close. Safe to call once; a second call is a no-op returning STATUS_INVALID_HANDLE.
    NTSTATUS Close(const std::shared_ptr<OpenFile>& file);
    // The two halves of Close, for a caller that must close only after the file's last request
    // completed: IRP_MJ_CLEANUP when the last handle goes, IRP_MJ_CLOSE and the file object's
    // release when nothing refers to it any more.
    void Cleanup(const std::shared_ptr<OpenFile>& file);
    void ReleaseFile(const std::shared_ptr<OpenFile>& file);
    IoResult Read(const std::shared_ptr<OpenFile>& file, void* buffer, ULONG length);
    IoResult Write(const std::shared_ptr<OpenFile>& file, const void* buffer, ULONG length);
    IoResult DeviceControl(const std::shared_ptr<OpenFile>& file, ULONG code, const void* input,
                           ULONG inputLength, void* output, ULONG outputLength, bool internal = false);
    IoResult QueryInformation(const std::shared_ptr<OpenFile>& file, FILE_INFORMATION_CLASS infoClass,
                              void* buffer, ULONG length);
    IoResult SetInformation(const std::shared_ptr<OpenFile>& file, FILE_INFORMATION_CLASS infoClass,
                            const void* buffer, ULONG length);
    IoResult Flush(const std::shared_ptr<OpenFile>& file);

  private:
    struct IrpState
    {
        bool completed = false;
        bool systemOwned = false; // built by the I/O manager for a caller; finished runs at the end
        std::function<void(PIRP)> finished;
    };

    void FinishSystemIrp(PIRP irp);

  public:
    // Frees a deleted device object once nothing refers to it any more.
    void ReleaseDeviceIfUnused(PDEVICE_OBJECT device);
    // Object references (ObReferenceObject) keep a device object's memory after IoDeleteDevice;
    // the last one released frees a deleted device.
    static void ReferenceDevice(PDEVICE_OBJECT device);
    void DereferenceDevice(PDEVICE_OBJECT device);
    // IoGetAttachedDeviceReference: the top of the device's stack, referenced.
    static PDEVICE_OBJECT AttachedDeviceReference(PDEVICE_OBJECT device);

  private:
    mutable std::mutex m_lock;
    std::unordered_map<PIRP, IrpState> m_irps;
    std::unordered_map<PDEVICE_OBJECT, size_t> m_devices; // live device -> allocation size
    std::vector<PDRIVER_OBJECT> m_drivers;
    KSPIN_LOCK m_cancelLock = 0;

  public:
    // The system-wide cancel spin lock (IoAcquireCancelSpinLock).
    PKSPIN_LOCK CancelLock() { return &m_cancelLock; }
};

} // namespace winsim::kernel
