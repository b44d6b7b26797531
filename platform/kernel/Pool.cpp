#include "Pool.h"

#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include <stdlib.h>
#include <string.h>

namespace winsim::kernel
{

// Fresh, uninitialised pool is filled with this byte, so that code relying on zeroed memory it
// did not ask for shows up.
static constexpr int UninitialisedFill = 0xCD;

static bool IsPaged(POOL_TYPE type)
{
    return (static_cast<int>(type) & 1) != 0;
}

std::string Pool::TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i)
    {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return text;
}

void* Pool::Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool zero, const char* routine)
{
    if (IsPaged(type))
    {
        RequireIrqlAtMost(APC_LEVEL, routine);
    }
    else
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_failNext > 0)
    {
        --m_failNext;
        return nullptr;
    }
    if (m_failTag != 0 && tag == m_failTag)
    {
        return nullptr;
    }
    // Pool allocations are 16-byte aligned on 64-bit Windows.
    SIZE_T rounded = (size + 15) & ~SIZE_T(15);
    void* memory = aligned_alloc(16, rounded == 0 ? 16 : rounded);
    if (memory == nullptr)
    {
        return nullptr;
    }
    memset(memory, zero ? 0 : UninitialisedFill, rounded == 0 ? 16 : rounded);
    m_live[memory] = PoolAllocation{memory, size, tag, type, ++m_sequence};
    return memory;
}

void Pool::Free(void* address, ULONG checkTag, const char* routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    if (address == nullptr)
    {
        VerifierStop(VerifierRule::PoolCorruption, "%s called with a NULL pointer", routine);
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_live.find(address);
        if (it == m_live.end())
        {
            VerifierStop(VerifierRule::PoolCorruption,
                         "%s(%p): not the start of a live pool allocation (freed twice, or never allocated)",
                         routine, address);
        }
        if (checkTag != 0 && it->second.tag != checkTag)
        {
            VerifierStop(VerifierRule::PoolCorruption,
                         "%s(%p) with tag '%s', but the allocation has tag '%s'", routine, address,
                         TagText(checkTag).c_str(), TagText(it->second.tag).c_str());
        }
        m_live.erase(it);
    }
    free(address);
}

std::vector<PoolAllocation> Pool::Live() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<PoolAllocation> all;
    for (const auto& [address, allocation] : m_live)
    {
        all.push_back(allocation);
    }
    return all;
}

size_t Pool::LiveCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_live.size();
}

ULONGLONG Pool::AllocationsMade() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_sequence;
}

bool Pool::Find(const void* address, PoolAllocation* found) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& [start, allocation] : m_live)
    {
        const char* begin = static_cast<const char*>(start);
        const char* p = static_cast<const char*>(address);
        if (p >= begin && p < begin + (allocation.size == 0 ? 1 : allocation.size))
        {
            *found = allocation;
            return true;
        }
    }
    return false;
}

void Pool::FailNextAllocations(unsigned count)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_failNext = count;
}

void Pool::FailAllocationsWithTag(ULONG tag)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_failTag = tag;
}

void Pool::CheckNoLeaks(const char* when) const
{
    std::vector<PoolAllocation> live = Live();
    if (live.empty())
    {
        return;
    }
    std::string list;
    for (const auto& allocation : live)
    {
        char line[160];
        snprintf(line, sizeof(line), "\n    %p: %zu bytes, tag '%s', pool type %d", allocation.address,
                 static_cast<size_t>(allocation.size), TagText(allocation.tag).c_str(),
                 static_cast<int>(allocation.type));
        list += line;
    }
    VerifierStop(VerifierRule::PoolLeak, "%zu pool allocation(s) still live %s:%s", live.size(), when,
                 list.c_str());
}

} // namespace winsim::kernel

using namespace winsim::kernel;

extern "C"
{

    PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
    {
        return System::Current().GetPool().Allocate(PoolType, NumberOfBytes, Tag, false,
                                                    "ExAllocatePoolWithTag");
    }

    PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
    {
        return System::Current().GetPool().Allocate(PoolType, NumberOfBytes, Tag, true, "ExAllocatePoolZero");
    }

    PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag)
    {
        POOL_FLAGS kinds = Flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_PAGED | POOL_FLAG_NON_PAGED_EXECUTE);
        if (Tag == 0 || (kinds != POOL_FLAG_NON_PAGED && kinds != POOL_FLAG_PAGED &&
                         kinds != POOL_FLAG_NON_PAGED_EXECUTE))
        {
            winsim::VerifierStop(
                winsim::VerifierRule::ObjectMisuse,
                "ExAllocatePool2 needs a non-zero tag and exactly one pool kind flag (flags 0x%llx)",
                static_cast<unsigned long long>(Flags));
        }
        POOL_TYPE type = kinds == POOL_FLAG_PAGED               ? PagedPool
                         : kinds == POOL_FLAG_NON_PAGED_EXECUTE ? NonPagedPoolExecute
                                                                : NonPagedPoolNx;
        return System::Current().GetPool().Allocate(
            type, NumberOfBytes, Tag, (Flags & POOL_FLAG_UNINITIALIZED) == 0, "ExAllocatePool2");
    }

    VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
    {
        System::Current().GetPool().Free(P, Tag, "ExFreePoolWithTag");
    }

    VOID ExFreePool(PVOID P)
    {
        System::Current().GetPool().Free(P, 0, "ExFreePool");
    }

} // extern "C"
