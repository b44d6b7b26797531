#include "Atoms.h"

#include "SharedState.h"

#include "base/unicode.h"

namespace winsim::kernel
{

NTSTATUS AtomTable::Add(std::u16string_view name, USHORT* atom)
{
    std::u16string key = UpperCase(name);
    std::lock_guard<std::mutex> guard(m_lock);
    auto known = m_known.find(key);
    if (known != m_known.end())
    {
        *atom = known->second;
        return STATUS_SUCCESS;
    }
    USHORT number = 0;
    if (!m_directory.empty())
    {
        number = AddSharedAtom(m_directory, name);
    }
    else if (m_known.size() < 0x4000)
    {
        number = static_cast<USHORT>(0xC000 + m_known.size());
    }
    if (number == 0)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_known.emplace(std::move(key), number);
    *atom = number;
    return STATUS_SUCCESS;
}

} // namespace winsim::kernel
