// The framework registry key (WDFKEY): an open kernel key handle, closed when the object is
// deleted, and the WdfRegistry* reads and writes of its values.
#pragma once

#include "FxObject.h"
#include "FxVerifier.h"

namespace winsim::wdf
{

class FxRegKey : public FxObject
{
  public:
    FxRegKey(FxDriver* driver, HANDLE handle) : FxObject(FxType::Key, driver), m_handle(handle) {}
    HANDLE KeyHandle() const { return m_handle; }

    // Wraps a key handle the caller opened in a key object under the given parent and hands out
    // its handle; the key handle is closed when that fails.
    static NTSTATUS Open(HANDLE handle, PWDF_OBJECT_ATTRIBUTES attributes, FxObject* defaultParent,
                         WDFKEY* key, const char* routine);

  protected:
    void OnDispose() override;

  private:
    HANDLE m_handle;
};

inline FxRegKey* KeyOf(WDFKEY key, const char* routine)
{
    return FxObject::Get<FxRegKey>(key, FxType::Key, routine);
}

} // namespace winsim::wdf
