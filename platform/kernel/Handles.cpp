#include "Handles.h"

#include "System.h"
#include "Thread.h"

namespace winsim::kernel
{

static constexpr uintptr_t KernelHandleBit = uintptr_t(0xFFFFFFFF80000000ull);

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object)
{
    std::lock_guard<std::mutex> guard(m_lock);
    uintptr_t value = (m_kernelHandles ? KernelHandleBit : 0) | m_next;
    m_next += 4;
    m_objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Lookup(HANDLE handle) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == m_objects.end() ? nullptr : it->second;
}

bool HandleTable::Close(HANDLE handle)
{
    std::shared_ptr<KernelObject> released;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == m_objects.end())
        {
            return false;
        }
        released = std::move(it->second);
        m_objects.erase(it);
    }
    // The object goes away outside the table lock.
    released.reset();
    return true;
}

size_t HandleTable::Count() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects.size();
}

std::vector<std::shared_ptr<KernelObject>> HandleTable::TakeAll()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::shared_ptr<KernelObject>> all;
    for (auto& [value, object] : m_objects)
    {
        all.push_back(std::move(object));
    }
    m_objects.clear();
    return all;
}

} // namespace winsim::kernel

using namespace winsim::kernel;

// Closes a kernel handle of any type. Windows bug-checks (INVALID_KERNEL_HANDLE) when a driver
// closes a kernel handle that is not open; the machine reports STATUS_INVALID_HANDLE so that a
// test can see the mistake.
NTSTATUS ZwClose(HANDLE Handle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    return System::Current().Handles().Close(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
