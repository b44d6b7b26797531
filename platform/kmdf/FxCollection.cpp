// Framework collections and WdfCollection*.
#include "FxCollection.h"

#include "FxDriver.h"
#include "FxVerifier.h"

#include <algorithm>

namespace winsim::wdf
{

namespace
{
// The collection's reference on each object it holds.
PVOID const CollectionTag = reinterpret_cast<PVOID>(0x436f6c6c);
} // namespace

NTSTATUS FxCollection::Add(FxObject* item)
{
    item->AddRef(CollectionTag, __LINE__, __FILE__);
    std::lock_guard<std::mutex> guard(m_lock);
    m_items.push_back(item);
    return STATUS_SUCCESS;
}

void FxCollection::Remove(FxObject* item, const char* routine)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = std::find(m_items.begin(), m_items.end(), item);
        if (it == m_items.end())
        {
            VerifierStop(VerifierRule::ObjectMisuse, "%s: the object %p is not in the collection", routine,
                         static_cast<void*>(item));
        }
        m_items.erase(it);
    }
    item->Release(CollectionTag, __LINE__, __FILE__);
}

void FxCollection::RemoveAt(ULONG index, const char* routine)
{
    FxObject* item = At(index);
    if (item == nullptr)
    {
        VerifierStop(VerifierRule::ObjectMisuse, "%s: index %u is past the end of the collection", routine,
                     index);
    }
    Remove(item, routine);
}

FxObject* FxCollection::At(ULONG index)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return index < m_items.size() ? m_items[index] : nullptr;
}

ULONG FxCollection::Count()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<ULONG>(m_items.size());
}

void FxCollection::OnDispose()
{
    std::vector<FxObject*> items;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        items.swap(m_items);
    }
    for (FxObject* item : items)
    {
        item->Release(CollectionTag, __LINE__, __FILE__);
    }
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    NTSTATUS imp_WdfCollectionCreate(PWDF_DRIVER_GLOBALS DriverGlobals,
                                     PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection)
    {
        return CreateDriverOwned<FxCollection>(DriverGlobals, CollectionAttributes, Collection,
                                               "WdfCollectionCreate");
    }

    ULONG imp_WdfCollectionGetCount(PWDF_DRIVER_GLOBALS, WDFCOLLECTION Collection)
    {
        return FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionGetCount")->Count();
    }

    NTSTATUS imp_WdfCollectionAdd(PWDF_DRIVER_GLOBALS, WDFCOLLECTION Collection, WDFOBJECT Object)
    {
        auto* collection = FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionAdd");
        return collection->Add(FxObject::FromHandle(Object, "WdfCollectionAdd"));
    }

    VOID imp_WdfCollectionRemove(PWDF_DRIVER_GLOBALS, WDFCOLLECTION Collection, WDFOBJECT Item)
    {
        auto* collection = FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionRemove");
        collection->Remove(FxObject::FromHandle(Item, "WdfCollectionRemove"), "WdfCollectionRemove");
    }

    VOID imp_WdfCollectionRemoveItem(PWDF_DRIVER_GLOBALS, WDFCOLLECTION Collection, ULONG Index)
    {
        FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionRemoveItem")
            ->RemoveAt(Index, "WdfCollectionRemoveItem");
    }

    WDFOBJECT imp_WdfCollectionGetItem(PWDF_DRIVER_GLOBALS, WDFCOLLECTION Collection, ULONG Index)
    {
        FxObject* item =
            FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionGetItem")->At(Index);
        return item != nullptr ? item->Handle() : nullptr;
    }

    WDFOBJECT imp_WdfCollectionGetFirstItem(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection)
    {
        return imp_WdfCollectionGetItem(DriverGlobals, Collection, 0);
    }

    WDFOBJECT imp_WdfCollectionGetLastItem(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection)
    {
        ULONG count = imp_WdfCollectionGetCount(DriverGlobals, Collection);
        return count == 0 ? nullptr : imp_WdfCollectionGetItem(DriverGlobals, Collection, count - 1);
    }

} // extern "C"
