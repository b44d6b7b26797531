// The I/O system services of user mode: a device opened as a file (the object behind a file
// handle), requests built from NtReadFile, NtWriteFile, NtDeviceIoControlFile and friends, their
// completion into the caller's I/O status block and event, and their cancellation by handle or
// when the thread that issued them ends.
//
// A request owns its IRP (built by the I/O manager, never by a driver) and a system buffer: the
// caller's input is copied in before the driver sees it, and at completion at most Information
// bytes, never more than the caller's output length, are copied out. A synchronous file (opened
// with FILE_SYNCHRONOUS_IO_*) waits in the dispatcher for each request; an asynchronous one
// returns STATUS_PENDING and reports through its I/O status block and event.
#pragma once

#include <wdm.h>

#include "Handles.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::kernel
{

struct OpenFile;
class EventObject;
struct UserRequest;

class UserFile : public KernelObject
{
  public:
    // mode: the open's FILE_MODE_INFORMATION flags (write-through, sequential, synchronous I/O).
    UserFile(std::shared_ptr<OpenFile> open, ACCESS_MASK access, ULONG mode);
    // The file object's last reference: IRP_MJ_CLOSE, at PASSIVE_LEVEL.
    ~UserFile() override;
    const char* TypeName() const override { return "File"; }
    DISPATCHER_HEADER* WaitableHeader() override { return &m_completion.Header; }

    const std::shared_ptr<OpenFile>& Open() const { return m_open; }
    ACCESS_MASK Access() const { return m_access; }
    // Whether the file was opened for synchronous I/O; FileModeInformation cannot change that.
    bool Synchronous() const { return m_synchronous; }
    ULONG Mode() const { return m_mode.load(std::memory_order_relaxed); }
    void SetMode(ULONG mode) { m_mode.store(mode, std::memory_order_relaxed); }
    // The file object's own event: cleared when a request starts, set when one completes, so that
    // a wait on the file handle waits for its I/O.
    KEVENT* CompletionEvent() { return &m_completion; }

  private:
    KEVENT m_completion{};
    std::shared_ptr<OpenFile> m_open;
    ACCESS_MASK m_access;
    bool m_synchronous;
    std::atomic<ULONG> m_mode;
};

class FileIo
{
  public:
    // Opens a device by its object name (\??\COM3, \Device\ZTSerial0). disposition must open an
    // existing object; options may ask for synchronous I/O.
    NTSTATUS Create(std::u16string_view name, ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                    ULONG options, std::shared_ptr<UserFile>* file);
    // The file's handle was closed: IRP_MJ_CLEANUP now; IRP_MJ_CLOSE once its last request is done.
    void HandleClosed(const std::shared_ptr<UserFile>& file);

    // Each returns STATUS_PENDING for an asynchronous request still in the driver, otherwise the
    // request's final status (also written to *iosb). event may be null.
    NTSTATUS Read(const std::shared_ptr<UserFile>& file, const std::shared_ptr<EventObject>& event,
                  PIO_STATUS_BLOCK iosb, void* buffer, ULONG length, PLARGE_INTEGER byteOffset);
    NTSTATUS Write(const std::shared_ptr<UserFile>& file, const std::shared_ptr<EventObject>& event,
                   PIO_STATUS_BLOCK iosb, const void* buffer, ULONG length, PLARGE_INTEGER byteOffset);
    NTSTATUS DeviceControl(const std::shared_ptr<UserFile>& file, const std::shared_ptr<EventObject>& event,
                           PIO_STATUS_BLOCK iosb, ULONG code, const void* input, ULONG inputLength,
                           void* output, ULONG outputLength);
    NTSTATUS Flush(const std::shared_ptr<UserFile>& file, PIO_STATUS_BLOCK iosb);
    // NtQueryInformationFile and NtSetInformationFile. Before anything reaches the driver, a class
    // the service does not take gives STATUS_INVALID_INFO_CLASS, a buffer shorter than the class's
    // structure STATUS_INFO_LENGTH_MISMATCH and a handle without the class's rights
    // STATUS_ACCESS_DENIED. The classes the I/O manager keeps itself are answered here: the
    // position of a synchronous file, the mode, the granted access and the device's alignment.
    // The rest go to the driver as IRP_MJ_QUERY_INFORMATION or IRP_MJ_SET_INFORMATION; the service
    // returns when the driver has completed it, whatever the file's mode.
    NTSTATUS QueryInformation(const std::shared_ptr<UserFile>& file, PIO_STATUS_BLOCK iosb, void* buffer,
                              ULONG length, FILE_INFORMATION_CLASS infoClass);
    NTSTATUS SetInformation(const std::shared_ptr<UserFile>& file, PIO_STATUS_BLOCK iosb, const void* buffer,
                            ULONG length, FILE_INFORMATION_CLASS infoClass);

    // NtCancelIoFile: cancels the calling thread's requests on the file and waits until they are
    // done. NtCancelIoFileEx: cancels the file's requests of any thread of the process (only the
    // one with that I/O status block when which is given) without waiting; STATUS_NOT_FOUND when
    // there was none.
    NTSTATUS CancelThreadRequests(const std::shared_ptr<UserFile>& file);
    NTSTATUS CancelRequests(const std::shared_ptr<UserFile>& file, PIO_STATUS_BLOCK which);
    // A thread ended: its requests are cancelled, and waited for.
    void ThreadEnded(void* thread);

  private:
    NTSTATUS Start(const std::shared_ptr<UserRequest>& request,
                   const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare);
    void Finish(const std::shared_ptr<UserRequest>& request, PIRP irp);
    void CancelAndWait(const std::vector<std::shared_ptr<UserRequest>>& requests);

    std::mutex m_lock;
    std::vector<std::shared_ptr<UserRequest>> m_pending;
};

} // namespace winsim::kernel
