// Fault injection for the creation of framework objects, for tests of a driver's failure paths:
// the creation a test picks fails with STATUS_INSUFFICIENT_RESOURCES, as it does when the
// framework cannot allocate the object, before any of the object exists. It covers every object
// the framework creates, for the driver (queues, timers, locks, strings, memory, work items,
// collections, registry keys, devices...) or on its behalf (requests and file objects for
// arriving IRPs). One failure is armed at a time, for the whole process.
#pragma once

#include "FxObject.h"

#include <optional>

namespace winsim::wdf
{

// Arms one failure: the creation that comes after `skip` further creations (of the given kind,
// or of any kind) fails. Arming again replaces the armed failure.
void FailObjectCreation(unsigned skip = 0, std::optional<FxType> kind = std::nullopt);
// Disarms it.
void ClearObjectCreationFault();
// Whether the armed failure happened. A test that walks every creation of a driver path arms
// the failure one creation further each round, and stops when it no longer happens.
bool ObjectCreationFaultHit();

// For the framework: whether the creation of an object of this kind fails now.
bool ObjectCreationFails(FxType kind);

} // namespace winsim::wdf
