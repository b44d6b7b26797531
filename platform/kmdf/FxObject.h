// The framework's objects. Every WDF handle is a pointer to one of these; the framework checks a
// handle against the set of live objects (and its type) before it uses it. An object has a parent,
// children, contexts, cleanup and destroy callbacks and tagged references; deleting it deletes its
// subtree.
#pragma once

#include <wdf.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::wdf
{

enum class FxType
{
    Object,
    Driver,
    Device,
    Queue,
    Request,
    FileObject,
    Timer,
    WorkItem,
    SpinLock,
    WaitLock,
    Collection,
    String,
    Memory,
    Key,
    IoTarget,
    UsbDevice,
    UsbInterface,
    UsbPipe,
};

const char* FxTypeName(FxType type);

class FxDriver;
class FxDevice;

class FxObject
{
  public:
    FxObject(FxType type, FxDriver* driver);
    FxObject(const FxObject&) = delete;
    FxObject& operator=(const FxObject&) = delete;

    FxType Type() const { return m_type; }
    FxDriver* Driver() const { return m_driver; }
    WDFOBJECT Handle() { return reinterpret_cast<WDFOBJECT>(this); }
    FxObject* Parent() const { return m_parent; }

    // Validates a handle; a verifier stop when it does not name a live object of the given type.
    static FxObject* FromHandle(WDFOBJECT handle, const char* routine);
    template <typename T>
    static T* Get(WDFOBJECT handle, FxType type, const char* routine)
    {
        return static_cast<T*>(CheckType(FromHandle(handle, routine), type, routine));
    }

    // Applies creation attributes: parent (the given default when the attributes name none),
    // context, cleanup and destroy callbacks, execution level and synchronisation scope.
    NTSTATUS Initialize(PWDF_OBJECT_ATTRIBUTES attributes, FxObject* defaultParent, const char* routine);

    void* Context(PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo);
    NTSTATUS AllocateContext(PWDF_OBJECT_ATTRIBUTES attributes, void** context);
    static FxObject* FromContext(void* context);

    void AddRef(PVOID tag, LONG line, const char* file);
    void Release(PVOID tag, LONG line, const char* file);

    // WdfObjectDelete semantics: the children go first, then this object's cleanup callback; the
    // memory stays until the last reference is released.
    void Delete();
    bool IsDisposed() const { return m_disposed.load(); }

    WDF_EXECUTION_LEVEL ExecutionLevel() const { return m_level; }
    WDF_SYNCHRONIZATION_SCOPE SyncScope() const { return m_scope; }

    // Outstanding tagged references, for leak reports.
    std::string DescribeReferences() const;

  protected:
    virtual ~FxObject();
    // Called once when the object is deleted, after its children and before its cleanup callback
    // (subclasses stop timers, close keys and the like here).
    virtual void OnDispose() {}
    // Whether WdfObjectDelete may delete this object (the framework deletes some objects itself).
    virtual bool DriverMayDelete() const { return true; }
    // Execution level and scope an object gets when its attributes say "inherit" and it has no parent.
    virtual WDF_EXECUTION_LEVEL DefaultLevel() const { return WdfExecutionLevelDispatch; }
    virtual WDF_SYNCHRONIZATION_SCOPE DefaultScope() const { return WdfSynchronizationScopeNone; }

  public:
    // Deletes the object and its subtree whatever DriverMayDelete says (the framework's own path).
    void DisposeTree();
    // The same for an object that never became visible to the driver: no callbacks run.
    void DisposeWithoutCallbacks();
    // Frees an object whose Initialize failed (it was never published).
    static void Discard(FxObject* neverInitialized) { delete neverInitialized; }
    bool MayBeDeletedByDriver() const { return DriverMayDelete(); }

  private:
    static FxObject* CheckType(FxObject* object, FxType type, const char* routine);
    bool DisposePass();
    void ReleasePass();
    void Destroy();

    struct ContextBlock;
    FxType m_type;
    FxDriver* m_driver;
    FxObject* m_parent = nullptr;
    std::vector<FxObject*> m_children;
    std::vector<ContextBlock*> m_contexts;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP m_cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY m_destroy = nullptr;
    WDF_EXECUTION_LEVEL m_level = WdfExecutionLevelDispatch;
    WDF_SYNCHRONIZATION_SCOPE m_scope = WdfSynchronizationScopeNone;
    std::atomic<LONG> m_references{1};
    std::atomic<bool> m_disposed{false};
    std::atomic<bool> m_releasePending{false};
    std::map<PVOID, LONG> m_taggedReferences;
    mutable std::mutex m_tagLock;
};

// The framework-wide lock that guards object trees and the live-object set.
std::recursive_mutex& FxTreeLock();

// An object with no behaviour of its own (WdfObjectCreate).
class FxGenericObject : public FxObject
{
  public:
    explicit FxGenericObject(FxDriver* driver) : FxObject(FxType::Object, driver) {}
};

// Publishes a new object under its parent, or frees it when its attributes are refused.
template <typename T>
NTSTATUS Publish(T* object, PWDF_OBJECT_ATTRIBUTES attributes, FxObject* defaultParent, const char* routine)
{
    NTSTATUS status = object->Initialize(attributes, defaultParent, routine);
    if (!NT_SUCCESS(status))
    {
        FxObject::Discard(object);
    }
    return status;
}

// The live framework objects a driver still has, for the leak check at unload.
std::vector<FxObject*> LiveObjectsOf(FxDriver* driver);

} // namespace winsim::wdf
