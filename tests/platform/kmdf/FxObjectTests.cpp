// Framework objects: the deletion order of parents and children, contexts, references that keep
// a deleted object's memory, collections, and memory objects in the pool.
#include "FxTestSupport.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace fxtest;
using namespace std::chrono_literals;

namespace
{

struct Named
{
    char name[16];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(Named, GetNamed)

struct Wide
{
    ULONGLONG values[6];
};
WDF_DECLARE_CONTEXT_TYPE(Wide)

struct Extra
{
    ULONG marker;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(Extra, GetExtra)

class FxObjectTest : public FxTest
{
  protected:
    void SetUp() override
    {
        s_log = &m_log;
        ASSERT_EQ(m_machine.Plug().State(), DeviceState::Started) << "the driver is loaded";
    }
    void TearDown() override
    {
        // The objects still alive are cleaned up at unload, into this test's log.
        m_machine.UnplugAll();
        s_log = nullptr;
    }

    static VOID Cleanup(WDFOBJECT object)
    {
        s_log->push_back(std::string("cleanup ") + GetNamed(object)->name);
    }
    static VOID Destroy(WDFOBJECT object)
    {
        s_log->push_back(std::string("destroy ") + GetNamed(object)->name);
    }

    // A generic object with a name in its context and callbacks that log its cleanup and destruction.
    static WDFOBJECT Create(const char* name, WDFOBJECT parent = nullptr)
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, Named);
        attributes.ParentObject = parent;
        attributes.EvtCleanupCallback = Cleanup;
        attributes.EvtDestroyCallback = Destroy;
        WDFOBJECT object = nullptr;
        EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
        strncpy(GetNamed(object)->name, name, sizeof(Named::name) - 1);
        return object;
    }

    size_t Position(const std::string& entry) const
    {
        auto it = std::find(m_log.begin(), m_log.end(), entry);
        EXPECT_NE(it, m_log.end()) << "missing from the log: " << entry;
        return static_cast<size_t>(it - m_log.begin());
    }

    static inline std::vector<std::string>* s_log = nullptr;
    std::vector<std::string> m_log;
};

TEST_F(FxObjectTest, DeletingAParentCleansUpChildrenFirstThenDestroys)
{
    WDFOBJECT parent = Create("parent");
    WDFOBJECT a = Create("a", parent);
    Create("b", parent);
    Create("a1", a);
    Create("other");
    WdfObjectDelete(parent);

    ASSERT_EQ(m_log.size(), 8u) << "every object of the subtree, and nothing else";
    EXPECT_LT(Position("cleanup a1"), Position("cleanup a"));
    EXPECT_LT(Position("cleanup a"), Position("cleanup parent"));
    EXPECT_LT(Position("cleanup b"), Position("cleanup parent"));
    // Once every cleanup callback ran, the objects are destroyed, children before their parent.
    for (const char* name : {"a1", "a", "b", "parent"})
    {
        EXPECT_LT(Position("cleanup parent"), Position(std::string("destroy ") + name));
    }
    EXPECT_LT(Position("destroy a1"), Position("destroy a"));
    EXPECT_LT(Position("destroy a"), Position("destroy parent"));
    EXPECT_LT(Position("destroy b"), Position("destroy parent"));
}

TEST_F(FxObjectTest, DeletingAChildLeavesItsParent)
{
    WDFOBJECT parent = Create("parent");
    WDFOBJECT child = Create("child", parent);
    WdfObjectDelete(child);
    EXPECT_EQ(m_log, (std::vector<std::string>{"cleanup child", "destroy child"}));
    WdfObjectDelete(parent);
    EXPECT_EQ(m_log.size(), 4u) << "the deleted child is not cleaned up twice";
}

TEST_F(FxObjectTest, DriverUnloadDeletesTheObjectsItOwns)
{
    Create("owned");
    m_machine.UnplugAll();
    EXPECT_EQ(m_log, (std::vector<std::string>{"cleanup owned", "destroy owned"}));
}

TEST_F(FxObjectTest, ContextsAreZeroedTypedAndLeadBackToTheirObject)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, Wide);
    WDFOBJECT object = nullptr;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    Wide* wide = WdfObjectGet_Wide(object);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(wide) % 16, 0u) << "contexts have the pool's alignment";
    for (ULONGLONG value : wide->values)
    {
        EXPECT_EQ(value, 0u);
    }
    EXPECT_EQ(WdfObjectContextGetObject(wide), object);
    EXPECT_EQ(GetExtra(object), nullptr) << "a context type the object does not have";

    WDF_OBJECT_ATTRIBUTES extraAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&extraAttributes, Extra);
    PVOID extra = nullptr;
    ASSERT_EQ(WdfObjectAllocateContext(object, &extraAttributes, &extra), STATUS_SUCCESS);
    EXPECT_EQ(extra, GetExtra(object));
    EXPECT_NE(extra, static_cast<PVOID>(wide));
    EXPECT_EQ(GetExtra(object)->marker, 0u);
    EXPECT_EQ(WdfObjectContextGetObject(extra), object);
    GetExtra(object)->marker = 0x1234;
    PVOID again = nullptr;
    EXPECT_EQ(WdfObjectAllocateContext(object, &extraAttributes, &again), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(again, extra);
    EXPECT_EQ(GetExtra(object)->marker, 0x1234u) << "the existing context is kept";
    EXPECT_EQ(WdfObjectGet_Wide(object), wide);
    WdfObjectDelete(object);
}

TEST_F(FxObjectTest, ContextSizeOverrideEnlargesTheContext)
{
    constexpr size_t Size = sizeof(Named) + 200;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, Named);
    attributes.ContextSizeOverride = Size;
    WDFOBJECT object = nullptr;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    auto* bytes = reinterpret_cast<unsigned char*>(GetNamed(object));
    size_t nonZero = 0;
    for (size_t i = 0; i < Size; ++i)
    {
        nonZero += bytes[i] != 0 ? 1 : 0;
    }
    EXPECT_EQ(nonZero, 0u) << "the whole enlarged context is zeroed";
    memset(bytes, 0xA5, Size); // the address sanitizer checks the context really is this large
    EXPECT_EQ(WdfObjectContextGetObject(bytes), object);
    WdfObjectDelete(object);
}

TEST_F(FxObjectTest, ReferenceKeepsADeletedObjectUntilTheLastDereference)
{
    WDFOBJECT object = Create("held");
    PVOID tag = reinterpret_cast<PVOID>(0x7A6);
    WdfObjectReferenceWithTag(object, tag);
    WdfObjectReference(object);
    Named* context = GetNamed(object);
    WdfObjectDelete(object);
    EXPECT_EQ(m_log, std::vector<std::string>{"cleanup held"}) << "cleanup at deletion, no destruction yet";
    EXPECT_EQ(GetNamed(object), context) << "the context is still there";
    EXPECT_STREQ(context->name, "held");
    WdfObjectDereferenceWithTag(object, tag);
    EXPECT_EQ(m_log.size(), 1u);
    WdfObjectDereference(object);
    EXPECT_EQ(m_log, (std::vector<std::string>{"cleanup held", "destroy held"}));
}

TEST_F(FxObjectTest, CollectionsHoldReferencesToTheirItems)
{
    WDFCOLLECTION collection = nullptr;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    WDFOBJECT x = Create("x");
    WDFOBJECT y = Create("y");
    EXPECT_EQ(WdfCollectionAdd(collection, x), STATUS_SUCCESS);
    EXPECT_EQ(WdfCollectionAdd(collection, y), STATUS_SUCCESS);
    EXPECT_EQ(WdfCollectionGetCount(collection), 2u);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), x);
    EXPECT_EQ(WdfCollectionGetLastItem(collection), y);
    EXPECT_EQ(WdfCollectionGetItem(collection, 2), nullptr);

    WdfObjectDelete(x);
    EXPECT_EQ(m_log, std::vector<std::string>{"cleanup x"}) << "the collection's reference keeps x";
    EXPECT_EQ(WdfCollectionGetItem(collection, 0), x);
    WdfCollectionRemove(collection, x);
    EXPECT_EQ(m_log, (std::vector<std::string>{"cleanup x", "destroy x"}));
    EXPECT_EQ(WdfCollectionGetCount(collection), 1u);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), y);

    WdfCollectionRemoveItem(collection, 0);
    EXPECT_EQ(WdfCollectionGetCount(collection), 0u);
    EXPECT_EQ(m_log.size(), 2u) << "removing an item that was not deleted leaves it alive";

    WdfCollectionAdd(collection, y);
    WdfObjectDelete(y);
    EXPECT_EQ(m_log.back(), "cleanup y");
    WdfObjectDelete(collection);
    EXPECT_EQ(m_log.back(), "destroy y") << "deleting the collection releases its items";
}

// A WDFSPINLOCK runs its holder at DISPATCH_LEVEL; a WDFWAITLOCK leaves the IRQL alone and its
// time-outs run on the virtual clock.
TEST_F(FxObjectTest, LocksAndWaitLockTimeOuts)
{
    WDFSPINLOCK spin = nullptr;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &spin), STATUS_SUCCESS);
    WdfSpinLockAcquire(spin);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    WdfSpinLockRelease(spin);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    WDFWAITLOCK lock = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    NTSTATUS polled = STATUS_PENDING;
    NTSTATUS timed = STATUS_PENDING;
    std::thread contender([&] {
        LONGLONG zero = 0;
        polled = WdfWaitLockAcquire(lock, &zero);
        LONGLONG timeout = RelativeMs(50);
        timed = WdfWaitLockAcquire(lock, &timeout);
    });
    while (m_machine.NextDeadline() != 50ms)
    {
        std::this_thread::yield();
    }
    m_machine.AdvanceClock(50ms);
    contender.join();
    EXPECT_EQ(polled, STATUS_TIMEOUT) << "a zero time-out only tries";
    EXPECT_EQ(timed, STATUS_TIMEOUT);

    // Released, the lock goes to the thread waiting for it.
    NTSTATUS handedOver = STATUS_PENDING;
    std::thread next([&] {
        LONGLONG timeout = RelativeMs(50);
        handedOver = WdfWaitLockAcquire(lock, &timeout);
        if (NT_SUCCESS(handedOver))
        {
            WdfWaitLockRelease(lock);
        }
    });
    while (m_machine.NextDeadline() != 50ms)
    {
        std::this_thread::yield();
    }
    WdfWaitLockRelease(lock);
    next.join();
    EXPECT_EQ(handedOver, STATUS_SUCCESS);
}

class FxMemoryTest : public FxTest
{
  protected:
    void SetUp() override
    {
        m_machine.hooks.poolTag = 'vrDT';
        ASSERT_EQ(m_machine.Plug().State(), DeviceState::Started) << "the driver is loaded";
    }

    PoolBlock Find(const void* address)
    {
        std::optional<PoolBlock> found = m_machine.PoolAllocationAt(address);
        EXPECT_TRUE(found.has_value());
        return found.value_or(PoolBlock{});
    }
};

TEST_F(FxMemoryTest, MemoryComesFromThePoolWithItsTagAndGoesWithItsParent)
{
    WDFOBJECT owner = nullptr;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &owner), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = owner;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    const size_t before = m_machine.LivePoolAllocations();
    ASSERT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, 'meMT', 100, &memory, &buffer), STATUS_SUCCESS);
    auto recorded = Find(buffer);
    EXPECT_EQ(recorded.address, buffer);
    EXPECT_EQ(recorded.tag, static_cast<ULONG>('meMT'));
    EXPECT_EQ(recorded.size, 100u);
    EXPECT_EQ(recorded.type, NonPagedPoolNx);
    size_t size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
    EXPECT_EQ(size, 100u);

    const char text[] = "0123456789";
    EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, 90, const_cast<char*>(text), 10), STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, 91, const_cast<char*>(text), 10), STATUS_INVALID_BUFFER_SIZE);
    char back[10] = {};
    EXPECT_EQ(WdfMemoryCopyToBuffer(memory, 90, back, 10), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(back, text, 10), 0);
    EXPECT_EQ(WdfMemoryCopyToBuffer(memory, 100, back, 1), STATUS_INVALID_BUFFER_SIZE);

    WdfObjectDelete(owner);
    EXPECT_FALSE(m_machine.PoolAllocationAt(buffer).has_value()) << "deleting the parent frees the buffer";
    EXPECT_EQ(m_machine.LivePoolAllocations(), before);
}

TEST_F(FxMemoryTest, TagZeroUsesTheDriverTagAndFailuresAreReported)
{
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, PagedPool, 0, 16, &memory, &buffer), STATUS_SUCCESS);
    EXPECT_EQ(Find(buffer).tag, static_cast<ULONG>('vrDT')) << "the DriverPoolTag of WDF_DRIVER_CONFIG";
    EXPECT_EQ(Find(buffer).type, PagedPool);
    WdfObjectDelete(memory);

    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 'liaF', 0, &memory, &buffer),
              STATUS_INVALID_PARAMETER);
    m_machine.FailNextPoolAllocations(1);
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 'liaF', 8, &memory, &buffer),
              STATUS_INSUFFICIENT_RESOURCES);
}

} // namespace
