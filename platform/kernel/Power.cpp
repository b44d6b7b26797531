#include "Power.h"

#include "Io.h"
#include "Pnp.h"
#include "System.h"
#include "Thread.h"

#include <algorithm>
#include <vector>

namespace winsim::kernel
{

namespace
{

// The stacks of the started devices, in arrival order.
std::vector<PDEVICE_OBJECT> StartedStacks()
{
    std::vector<PDEVICE_OBJECT> stacks;
    for (DeviceNode* node : System::Current().Pnp().Nodes())
    {
        if (node->state == DeviceNodeState::Started && node->pdo != nullptr)
        {
            stacks.push_back(node->pdo);
        }
    }
    return stacks;
}

NTSTATUS SendSystemPowerIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    IoResult result =
        System::Current().Io().SendSynchronous(pdo, nullptr, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            // A power IRP nobody answers fails, as the power manager initialises it.
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            stack->MajorFunction = IRP_MJ_POWER;
            stack->MinorFunction = minor;
            stack->Parameters.Power.Type = SystemPowerState;
            stack->Parameters.Power.State.SystemState = state;
            stack->Parameters.Power.ShutdownType = action;
        });
    return result.status;
}

} // namespace

SYSTEM_POWER_STATE PowerManager::State()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_state;
}

POWER_ACTION PowerManager::LastAction()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_action;
}

NTSTATUS PowerManager::EnterSleepState(SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "a system power transition");
    std::lock_guard<std::mutex> transition(m_transition);
    if (State() != PowerSystemWorking || state <= PowerSystemWorking || state >= PowerSystemMaximum)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::vector<PDEVICE_OBJECT> stacks = StartedStacks();
    std::reverse(stacks.begin(), stacks.end());
    if (state != PowerSystemShutdown)
    {
        for (size_t i = 0; i < stacks.size(); ++i)
        {
            NTSTATUS status = SendSystemPowerIrp(stacks[i], IRP_MN_QUERY_POWER, state, action);
            if (!NT_SUCCESS(status))
            {
                // The system stays working; the devices asked so far hear that it does.
                for (size_t j = 0; j < i; ++j)
                {
                    SendSystemPowerIrp(stacks[j], IRP_MN_SET_POWER, PowerSystemWorking, action);
                }
                return status;
            }
        }
    }
    for (PDEVICE_OBJECT stack : stacks)
    {
        SendSystemPowerIrp(stack, IRP_MN_SET_POWER, state, action);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_state = state;
    m_action = action;
    return STATUS_SUCCESS;
}

NTSTATUS PowerManager::Wake()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "a system power transition");
    std::lock_guard<std::mutex> transition(m_transition);
    SYSTEM_POWER_STATE state = State();
    if (state == PowerSystemWorking || state == PowerSystemShutdown)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    POWER_ACTION action = LastAction();
    for (PDEVICE_OBJECT stack : StartedStacks())
    {
        SendSystemPowerIrp(stack, IRP_MN_SET_POWER, PowerSystemWorking, action);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_state = PowerSystemWorking;
    return STATUS_SUCCESS;
}

} // namespace winsim::kernel
