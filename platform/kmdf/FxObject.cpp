// Framework objects: handles checked against the live set, parents and children, contexts,
// tagged references, the two-pass deletion of a subtree, and WdfObject*.
#include "FxObject.h"

#include "FxDriver.h"
#include "FxFaultInjection.h"
#include "FxVerifier.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <set>
#include <unordered_set>

namespace winsim::wdf
{

const char* FxTypeName(FxType type)
{
    switch (type)
    {
    case FxType::Object:
        return "WDFOBJECT";
    case FxType::Driver:
        return "WDFDRIVER";
    case FxType::Device:
        return "WDFDEVICE";
    case FxType::Queue:
        return "WDFQUEUE";
    case FxType::Request:
        return "WDFREQUEST";
    case FxType::FileObject:
        return "WDFFILEOBJECT";
    case FxType::Timer:
        return "WDFTIMER";
    case FxType::WorkItem:
        return "WDFWORKITEM";
    case FxType::SpinLock:
        return "WDFSPINLOCK";
    case FxType::WaitLock:
        return "WDFWAITLOCK";
    case FxType::Collection:
        return "WDFCOLLECTION";
    case FxType::String:
        return "WDFSTRING";
    case FxType::Memory:
        return "WDFMEMORY";
    case FxType::Key:
        return "WDFKEY";
    case FxType::IoTarget:
        return "WDFIOTARGET";
    case FxType::UsbDevice:
        return "WDFUSBDEVICE";
    case FxType::UsbInterface:
        return "WDFUSBINTERFACE";
    case FxType::UsbPipe:
        return "WDFUSBPIPE";
    }
    return "WDF object";
}

std::recursive_mutex& FxTreeLock()
{
    static std::recursive_mutex lock;
    return lock;
}

static std::unordered_set<FxObject*>& LiveObjects()
{
    static std::unordered_set<FxObject*> objects;
    return objects;
}

// A context block: its header, then the context memory, 16-byte aligned.
struct FxObject::ContextBlock
{
    FxObject* owner;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type;
    size_t size;
};
static constexpr size_t ContextHeaderSize = (sizeof(void*) * 3 + 15) & ~size_t(15);

static PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueTypeOf(PCWDF_OBJECT_CONTEXT_TYPE_INFO info)
{
    return info->UniqueType != nullptr ? info->UniqueType : info;
}

FxObject::FxObject(FxType type, FxDriver* driver) : m_type(type), m_driver(driver) {}

FxObject::~FxObject()
{
    for (ContextBlock* block : m_contexts)
    {
        ::operator delete(block, std::align_val_t(16));
    }
}

FxObject* FxObject::FromHandle(WDFOBJECT handle, const char* routine)
{
    auto* object = reinterpret_cast<FxObject*>(handle);
    std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
    if (handle == nullptr || LiveObjects().count(object) == 0)
    {
        VerifierStop(VerifierRule::InvalidHandle, "%s: handle %p is not a live framework object", routine,
                     handle);
    }
    return object;
}

FxObject* FxObject::CheckType(FxObject* object, FxType type, const char* routine)
{
    if (object->m_type != type)
    {
        VerifierStop(VerifierRule::InvalidHandle, "%s: handle %p is a %s, not a %s", routine,
                     static_cast<void*>(object), FxTypeName(object->m_type), FxTypeName(type));
    }
    return object;
}

NTSTATUS FxObject::Initialize(PWDF_OBJECT_ATTRIBUTES attributes, FxObject* defaultParent, const char* routine)
{
    if (attributes != nullptr && attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "%s: WDF_OBJECT_ATTRIBUTES has size %u, not %zu (not initialised?)", routine,
                     attributes->Size, sizeof(WDF_OBJECT_ATTRIBUTES));
    }
    // A failure injected for the test of a driver's failure path: as if the framework could not
    // allocate the object.
    if (ObjectCreationFails(m_type))
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FxObject* parent = defaultParent;
    if (attributes != nullptr && attributes->ParentObject != nullptr)
    {
        parent = FromHandle(attributes->ParentObject, routine);
    }
    if (parent != nullptr && parent->IsDisposed())
    {
        return STATUS_DELETE_PENDING;
    }
    WDF_EXECUTION_LEVEL level =
        attributes != nullptr ? attributes->ExecutionLevel : WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE scope =
        attributes != nullptr ? attributes->SynchronizationScope : WdfSynchronizationScopeInheritFromParent;
    if (level == WdfExecutionLevelInheritFromParent || level == WdfExecutionLevelInvalid)
    {
        level = parent != nullptr ? parent->m_level : DefaultLevel();
    }
    if (scope == WdfSynchronizationScopeInheritFromParent || scope == WdfSynchronizationScopeInvalid)
    {
        scope = parent != nullptr ? parent->m_scope : DefaultScope();
    }
    m_level = level;
    m_scope = scope;
    if (attributes != nullptr)
    {
        m_cleanup = attributes->EvtCleanupCallback;
        m_destroy = attributes->EvtDestroyCallback;
        if (attributes->ContextTypeInfo != nullptr)
        {
            void* unused = nullptr;
            NTSTATUS status = AllocateContext(attributes, &unused);
            if (!NT_SUCCESS(status))
            {
                return status;
            }
            // The cleanup and destroy callbacks were taken above; AllocateContext must not add them twice.
        }
    }
    std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
    LiveObjects().insert(this);
    m_parent = parent;
    if (parent != nullptr)
    {
        parent->m_children.push_back(this);
    }
    return STATUS_SUCCESS;
}

void* FxObject::Context(PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo)
{
    PCWDF_OBJECT_CONTEXT_TYPE_INFO unique = UniqueTypeOf(typeInfo);
    std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
    for (ContextBlock* block : m_contexts)
    {
        if (block->type == unique)
        {
            return reinterpret_cast<char*>(block) + ContextHeaderSize;
        }
    }
    return nullptr;
}

NTSTATUS FxObject::AllocateContext(PWDF_OBJECT_ATTRIBUTES attributes, void** context)
{
    if (attributes == nullptr || attributes->ContextTypeInfo == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PCWDF_OBJECT_CONTEXT_TYPE_INFO unique = UniqueTypeOf(attributes->ContextTypeInfo);
    size_t size = unique->ContextSize;
    if (attributes->ContextSizeOverride > size)
    {
        size = attributes->ContextSizeOverride;
    }
    std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
    for (ContextBlock* block : m_contexts)
    {
        if (block->type == unique)
        {
            *context = reinterpret_cast<char*>(block) + ContextHeaderSize;
            return STATUS_OBJECT_NAME_EXISTS;
        }
    }
    size_t total = ContextHeaderSize + (size == 0 ? 1 : size);
    void* memory = ::operator new(total, std::align_val_t(16));
    memset(memory, 0, total);
    auto* block = static_cast<ContextBlock*>(memory);
    block->owner = this;
    block->type = unique;
    block->size = size;
    m_contexts.push_back(block);
    *context = static_cast<char*>(memory) + ContextHeaderSize;
    return STATUS_SUCCESS;
}

FxObject* FxObject::FromContext(void* context)
{
    auto* block = reinterpret_cast<ContextBlock*>(static_cast<char*>(context) - ContextHeaderSize);
    std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
    FxObject* owner = block->owner;
    if (LiveObjects().count(owner) == 0 ||
        std::find(owner->m_contexts.begin(), owner->m_contexts.end(), block) == owner->m_contexts.end())
    {
        VerifierStop(VerifierRule::InvalidHandle,
                     "WdfObjectContextGetObject: %p is not a framework object context", context);
    }
    return owner;
}

void FxObject::AddRef(PVOID tag, LONG, const char*)
{
    m_references.fetch_add(1);
    std::lock_guard<std::mutex> guard(m_tagLock);
    m_taggedReferences[tag]++;
}

void FxObject::Release(PVOID tag, LONG line, const char* file)
{
    {
        std::lock_guard<std::mutex> guard(m_tagLock);
        auto it = m_taggedReferences.find(tag);
        if (it == m_taggedReferences.end() || it->second == 0)
        {
            VerifierStop(VerifierRule::ObjectMisuse,
                         "%s %p dereferenced with tag %p at %s:%d, which holds no reference",
                         FxTypeName(m_type), static_cast<void*>(this), tag, file != nullptr ? file : "?",
                         line);
        }
        if (--it->second == 0)
        {
            m_taggedReferences.erase(it);
        }
    }
    if (m_references.fetch_sub(1) == 1)
    {
        Destroy();
    }
}

std::string FxObject::DescribeReferences() const
{
    std::lock_guard<std::mutex> guard(m_tagLock);
    std::string text;
    for (const auto& [tag, count] : m_taggedReferences)
    {
        char line[96];
        snprintf(line, sizeof(line), "%s tag %p x%d", text.empty() ? "" : ",", tag, count);
        text += line;
    }
    return text;
}

void FxObject::Delete()
{
    if (!DriverMayDelete())
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "WdfObjectDelete: a driver may not delete a %s %p; the framework "
                     "deletes it",
                     FxTypeName(m_type), static_cast<void*>(this));
    }
    DisposeTree();
}

// Deletion runs in two passes over the tree, as the framework documents it: every cleanup callback
// (children before their parent), then every destruction (again children first). A parent's cleanup
// callback can therefore still use its children's memory.
void FxObject::DisposeTree()
{
    if (DisposePass())
    {
        ReleasePass();
    }
}

bool FxObject::DisposePass()
{
    if (m_disposed.exchange(true))
    {
        return false;
    }
    std::vector<FxObject*> children;
    {
        std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
        children = m_children;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it)
    {
        (*it)->DisposePass();
    }
    OnDispose();
    if (m_cleanup != nullptr)
    {
        m_cleanup(Handle());
    }
    m_releasePending.store(true);
    return true;
}

void FxObject::ReleasePass()
{
    std::vector<FxObject*> children;
    {
        std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
        children = m_children;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it)
    {
        (*it)->ReleasePass();
    }
    if (!m_releasePending.exchange(false))
    {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
        if (m_parent != nullptr)
        {
            std::erase(m_parent->m_children, this);
            m_parent = nullptr;
        }
    }
    if (m_references.fetch_sub(1) == 1)
    {
        Destroy();
    }
}

void FxObject::DisposeWithoutCallbacks()
{
    m_cleanup = nullptr;
    m_destroy = nullptr;
    DisposeTree();
}

void FxObject::Destroy()
{
    if (!m_disposed.load())
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "%s %p: its last reference was released before it was deleted", FxTypeName(m_type),
                     static_cast<void*>(this));
    }
    if (m_destroy != nullptr)
    {
        m_destroy(Handle());
    }
    {
        std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
        LiveObjects().erase(this);
    }
    delete this;
}

std::vector<FxObject*> LiveObjectsOf(FxDriver* driver)
{
    std::lock_guard<std::recursive_mutex> guard(FxTreeLock());
    std::vector<FxObject*> found;
    for (FxObject* object : LiveObjects())
    {
        if (object->Driver() == driver)
        {
            found.push_back(object);
        }
    }
    return found;
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    PVOID imp_WdfObjectGetTypedContextWorker(PWDF_DRIVER_GLOBALS, WDFOBJECT Handle,
                                             PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
    {
        return FxObject::FromHandle(Handle, "WdfObjectGetTypedContext")->Context(TypeInfo);
    }

    NTSTATUS imp_WdfObjectAllocateContext(PWDF_DRIVER_GLOBALS, WDFOBJECT Handle,
                                          PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context)
    {
        return FxObject::FromHandle(Handle, "WdfObjectAllocateContext")
            ->AllocateContext(ContextAttributes, Context);
    }

    WDFOBJECT imp_WdfObjectContextGetObject(PWDF_DRIVER_GLOBALS, PVOID ContextPointer)
    {
        return FxObject::FromContext(ContextPointer)->Handle();
    }

    VOID imp_WdfObjectReferenceActual(PWDF_DRIVER_GLOBALS, WDFOBJECT Handle, PVOID Tag, LONG Line, PCCH File)
    {
        FxObject::FromHandle(Handle, "WdfObjectReference")->AddRef(Tag, Line, File);
    }

    VOID imp_WdfObjectDereferenceActual(PWDF_DRIVER_GLOBALS, WDFOBJECT Handle, PVOID Tag, LONG Line,
                                        PCCH File)
    {
        FxObject::FromHandle(Handle, "WdfObjectDereference")->Release(Tag, Line, File);
    }

    VOID imp_WdfObjectDelete(PWDF_DRIVER_GLOBALS, WDFOBJECT Object)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfObjectDelete");
        FxObject::FromHandle(Object, "WdfObjectDelete")->Delete();
    }

    NTSTATUS imp_WdfObjectCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_OBJECT_ATTRIBUTES Attributes,
                                 WDFOBJECT* Object)
    {
        FxDriver* driver = FxDriver::FromGlobals(DriverGlobals, "WdfObjectCreate");
        auto* object = new FxGenericObject(driver);
        NTSTATUS status = object->Initialize(Attributes, driver, "WdfObjectCreate");
        if (!NT_SUCCESS(status))
        {
            FxObject::Discard(object);
            return status;
        }
        *Object = object->Handle();
        return STATUS_SUCCESS;
    }

} // extern "C"
