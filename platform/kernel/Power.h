// The power manager: the system power state (S0 working, S3 sleeping, S4 hibernating, S5 off) and
// the transitions between them. A transition sends IRP_MJ_POWER / IRP_MN_SET_POWER with a
// SystemPowerState and its POWER_ACTION down the stack of every started device; each stack's power
// policy owner turns it into the device's own power transition. Device power states are the
// drivers' business (the framework keeps its device's); the power manager only keeps the system's.
#pragma once

#include <wdm.h>

#include <mutex>

namespace winsim::kernel
{

class PowerManager
{
  public:
    SYSTEM_POWER_STATE State();
    // The action of the last transition out of S0 (PowerActionNone until the first).
    POWER_ACTION LastAction();

    // Leaves S0 for a sleeping, hibernation or off state. Sleep and hibernation are queried first
    // (IRP_MN_QUERY_POWER): a device that refuses keeps the system working, and its status is
    // returned. Devices go down in the reverse of their arrival order. STATUS_INVALID_DEVICE_STATE
    // when the system is not in S0. PASSIVE_LEVEL.
    NTSTATUS EnterSleepState(SYSTEM_POWER_STATE state, POWER_ACTION action);
    // Returns a sleeping or hibernating system to S0; the devices return in arrival order.
    // STATUS_INVALID_DEVICE_STATE when the system is working or off (an off system does not
    // wake: a new machine boots instead).
    NTSTATUS Wake();

  private:
    std::mutex m_lock; // guards the two fields; a transition holds m_transition
    std::mutex m_transition;
    SYSTEM_POWER_STATE m_state = PowerSystemWorking;
    POWER_ACTION m_action = PowerActionNone;
};

} // namespace winsim::kernel
