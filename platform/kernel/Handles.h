// Kernel handles: the system process's handle table that Zw* routines hand out and ZwClose closes.
#pragma once

#include <wdm.h>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace winsim::kernel
{

// Anything a kernel handle can refer to.
class KernelObject
{
  public:
    virtual ~KernelObject() = default;
    virtual const char* TypeName() const = 0;
};

class HandleTable
{
  public:
    HANDLE Insert(std::shared_ptr<KernelObject> object);
    std::shared_ptr<KernelObject> Lookup(HANDLE handle) const;
    template <typename T>
    std::shared_ptr<T> LookupAs(HANDLE handle) const
    {
        return std::dynamic_pointer_cast<T>(Lookup(handle));
    }
    // Returns false when the handle is not open.
    bool Close(HANDLE handle);
    size_t Count() const;

  private:
    mutable std::mutex m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> m_objects;
    uintptr_t m_next = 4;
};

} // namespace winsim::kernel
