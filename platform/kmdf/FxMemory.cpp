// Framework memory objects and WdfMemory*.
#include "FxMemory.h"

#include "FxDriver.h"

#include <string.h>

namespace winsim::wdf
{

FxMemory::~FxMemory()
{
    if (m_owned && m_buffer != nullptr)
    {
        ExFreePoolWithTag(m_buffer, m_tag);
    }
}

NTSTATUS FxMemory::CreateFromPool(FxDriver* driver, POOL_TYPE poolType, ULONG poolTag, size_t size,
                                  PWDF_OBJECT_ATTRIBUTES attributes, FxObject* defaultParent,
                                  FxMemory** memory, const char* routine)
{
    ULONG tag = poolTag != 0
                    ? poolTag
                    : (driver->Config().DriverPoolTag != 0 ? driver->Config().DriverPoolTag : 'rDxF');
    void* buffer = ExAllocatePoolWithTag(poolType, size, tag);
    if (buffer == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* created = new FxMemory(driver, buffer, size, true, tag);
    NTSTATUS status = Publish(created, attributes, defaultParent, routine);
    if (NT_SUCCESS(status))
    {
        *memory = created;
    }
    return status;
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    NTSTATUS imp_WdfMemoryCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_OBJECT_ATTRIBUTES Attributes,
                                 POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize, WDFMEMORY* Memory,
                                 PVOID* Buffer)
    {
        RequireIrqlAtMost((PoolType & 1) != 0 ? APC_LEVEL : DISPATCH_LEVEL, "WdfMemoryCreate");
        if (BufferSize == 0)
        {
            return STATUS_INVALID_PARAMETER;
        }
        FxDriver* driver = FxDriver::FromGlobals(DriverGlobals, "WdfMemoryCreate");
        FxMemory* memory = nullptr;
        NTSTATUS status = FxMemory::CreateFromPool(driver, PoolType, PoolTag, BufferSize, Attributes, driver,
                                                   &memory, "WdfMemoryCreate");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        *Memory = reinterpret_cast<WDFMEMORY>(memory->Handle());
        if (Buffer != nullptr)
        {
            *Buffer = memory->Buffer();
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfMemoryCreatePreallocated(PWDF_DRIVER_GLOBALS DriverGlobals,
                                             PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                             size_t BufferSize, WDFMEMORY* Memory)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfMemoryCreatePreallocated");
        if (Buffer == nullptr || BufferSize == 0)
        {
            return STATUS_INVALID_PARAMETER;
        }
        FxDriver* driver = FxDriver::FromGlobals(DriverGlobals, "WdfMemoryCreatePreallocated");
        auto* memory = new FxMemory(driver, Buffer, BufferSize, false, 0);
        NTSTATUS status = Publish(memory, Attributes, driver, "WdfMemoryCreatePreallocated");
        if (NT_SUCCESS(status))
        {
            *Memory = reinterpret_cast<WDFMEMORY>(memory->Handle());
        }
        return status;
    }

    PVOID imp_WdfMemoryGetBuffer(PWDF_DRIVER_GLOBALS, WDFMEMORY Memory, size_t* BufferSize)
    {
        FxMemory* memory = FxObject::Get<FxMemory>(Memory, FxType::Memory, "WdfMemoryGetBuffer");
        if (BufferSize != nullptr)
        {
            *BufferSize = memory->Size();
        }
        return memory->Buffer();
    }

    NTSTATUS imp_WdfMemoryCopyToBuffer(PWDF_DRIVER_GLOBALS, WDFMEMORY SourceMemory, size_t SourceOffset,
                                       PVOID Buffer, size_t NumBytesToCopyTo)
    {
        FxMemory* memory = FxObject::Get<FxMemory>(SourceMemory, FxType::Memory, "WdfMemoryCopyToBuffer");
        if (SourceOffset > memory->Size() || NumBytesToCopyTo > memory->Size() - SourceOffset)
        {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        memcpy(Buffer, static_cast<char*>(memory->Buffer()) + SourceOffset, NumBytesToCopyTo);
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfMemoryCopyFromBuffer(PWDF_DRIVER_GLOBALS, WDFMEMORY DestinationMemory,
                                         size_t DestinationOffset, PVOID Buffer, size_t NumBytesToCopyFrom)
    {
        FxMemory* memory =
            FxObject::Get<FxMemory>(DestinationMemory, FxType::Memory, "WdfMemoryCopyFromBuffer");
        if (DestinationOffset > memory->Size() || NumBytesToCopyFrom > memory->Size() - DestinationOffset)
        {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        memcpy(static_cast<char*>(memory->Buffer()) + DestinationOffset, Buffer, NumBytesToCopyFrom);
        return STATUS_SUCCESS;
    }

} // extern "C"
