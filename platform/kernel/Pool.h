// Kernel pool: allocations with pool types and tags, and the account of what is still allocated,
// which the verifier checks when a driver unloads.
#pragma once

#include <wdm.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::kernel
{

struct PoolAllocation
{
    void* address;
    SIZE_T size;
    ULONG tag;
    POOL_TYPE type;
    ULONGLONG sequence;
};

class Pool
{
  public:
    void* Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool zero, const char* routine);
    // checkTag: when non-zero, the tag the allocation must carry.
    void Free(void* address, ULONG checkTag, const char* routine);

    std::vector<PoolAllocation> Live() const;
    size_t LiveCount() const;
    // Every allocation made since boot, freed or not (failed ones do not count).
    ULONGLONG AllocationsMade() const;
    // The allocation holding this address, if any.
    bool Find(const void* address, PoolAllocation* found) const;

    // Fault injection: the next `count` allocations fail (return NULL).
    void FailNextAllocations(unsigned count);
    // Fault injection: allocations with this tag fail until cleared (tag 0 clears).
    void FailAllocationsWithTag(ULONG tag);

    // Verifier stop listing every live allocation, when there are any.
    void CheckNoLeaks(const char* when) const;

    static std::string TagText(ULONG tag);

  private:
    mutable std::mutex m_lock;
    std::map<void*, PoolAllocation> m_live;
    ULONGLONG m_sequence = 0;
    unsigned m_failNext = 0;
    ULONG m_failTag = 0;
};

} // namespace winsim::kernel
