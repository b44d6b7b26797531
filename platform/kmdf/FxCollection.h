// The framework collection (WDFCOLLECTION): a list of framework objects, each referenced while it
// is in the collection.
#pragma once

#include "FxObject.h"

#include <vector>

namespace winsim::wdf
{

class FxCollection : public FxObject
{
  public:
    explicit FxCollection(FxDriver* driver) : FxObject(FxType::Collection, driver) {}
    NTSTATUS Add(FxObject* item);
    void Remove(FxObject* item, const char* routine);
    void RemoveAt(ULONG index, const char* routine);
    FxObject* At(ULONG index);
    ULONG Count();

  protected:
    void OnDispose() override;

  private:
    std::mutex m_lock;
    std::vector<FxObject*> m_items;
};

} // namespace winsim::wdf
