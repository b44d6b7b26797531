// Handle tables: the system process's, whose handles Zw* routines hand out and ZwClose closes, and
// a user process's, whose handles the native system services hand out.
#pragma once

#include <wdm.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace winsim::kernel
{

// Anything a kernel handle can refer to.
class KernelObject
{
  public:
    virtual ~KernelObject() = default;
    virtual const char* TypeName() const = 0;
    // The dispatcher object a wait on the object waits for; null for an object that cannot be
    // waited on.
    virtual DISPATCHER_HEADER* WaitableHeader() { return nullptr; }
};

class HandleTable
{
  public:
    // Kernel handles (the system process's table) have the top bit set, as OBJ_KERNEL_HANDLE
    // handles do on Windows; a user process's handles are small multiples of four.
    explicit HandleTable(bool kernelHandles = true) : m_kernelHandles(kernelHandles) {}

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
    // Removes and returns every object in the table (a process's rundown).
    std::vector<std::shared_ptr<KernelObject>> TakeAll();

  private:
    mutable std::mutex m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> m_objects;
    uintptr_t m_next = 4;
    bool m_kernelHandles;
};

} // namespace winsim::kernel
