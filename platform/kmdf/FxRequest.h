// The framework request (WDFREQUEST): the framework's wrapper of an IRP that arrived at a
// framework device, from its presentation to the driver until its completion.
#pragma once

#include "FxObject.h"

#include <optional>

namespace winsim::wdf
{

class FxDevice;
class FxFileObject;
class FxIoQueue;

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

    // WdfRequestMarkCancelable(Ex) and WdfRequestUnmarkCancelable: the request's IRP carries the
    // framework's cancel routine, which calls the driver's EvtRequestCancel.
    bool IsCancelable() const { return m_irp->CancelRoutine != nullptr; }
    NTSTATUS MarkCancelable(PFN_WDF_REQUEST_CANCEL cancel, bool failIfCancelled);
    NTSTATUS UnmarkCancelable();

  protected:
    bool DriverMayDelete() const override { return false; }

  private:
    static VOID CancelRoutine(PDEVICE_OBJECT device, PIRP irp);

    FxDevice* m_device;
    PIRP m_irp;
    FxFileObject* m_file;
    FxIoQueue* m_queue = nullptr;
    bool m_completed = false;
    NTSTATUS m_status = STATUS_SUCCESS;
    ULONG_PTR m_information = 0;
    PFN_WDF_REQUEST_CANCEL m_cancel = nullptr;
};

} // namespace winsim::wdf
