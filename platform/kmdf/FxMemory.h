// The framework memory object (WDFMEMORY): a buffer the framework allocated from pool (and frees
// with the object) or one the driver provided.
#pragma once

#include "FxObject.h"

namespace winsim::wdf
{

class FxMemory : public FxObject
{
  public:
    FxMemory(FxDriver* driver, void* buffer, size_t size, bool owned, ULONG tag)
        : FxObject(FxType::Memory, driver), m_buffer(buffer), m_size(size), m_owned(owned), m_tag(tag)
    {
    }
    void* Buffer() const { return m_buffer; }
    size_t Size() const { return m_size; }

    // A memory object whose buffer the framework allocates from pool with a tag (0: the driver's
    // pool tag, or the framework's when the driver has none), published under the attributes'
    // parent or the default one.
    static NTSTATUS CreateFromPool(FxDriver* driver, POOL_TYPE poolType, ULONG poolTag, size_t size,
                                   PWDF_OBJECT_ATTRIBUTES attributes, FxObject* defaultParent,
                                   FxMemory** memory, const char* routine);
    static FxMemory* FromHandle(WDFMEMORY handle, const char* routine)
    {
        return FxObject::Get<FxMemory>(handle, FxType::Memory, routine);
    }

  protected:
    ~FxMemory() override;

  private:
    void* m_buffer;
    size_t m_size;
    bool m_owned;
    ULONG m_tag;
};

} // namespace winsim::wdf
