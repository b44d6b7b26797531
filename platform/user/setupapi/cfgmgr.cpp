// cfgmgr32's device node functions: a DEVINST names a node by its instance ID (see DevInstOf), and
// each call asks the Plug and Play service, here the kernel through the seam's Plug and Play
// device state section.
#include <cfgmgr32.h>

#include "base/unicode.h"
#include "internal.h"
#include "ntdll/ntdll.h"
#include "setupapi/devnodes.h"

#include <string>
#include <vector>

using namespace winsim;
using namespace winsim::user;

extern "C"
{

    CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags)
    {
        if (pdnDevInst == nullptr)
        {
            return CR_INVALID_POINTER;
        }
        *pdnDevInst = 0;
        if ((ulFlags & ~CM_LOCATE_DEVNODE_BITS) != 0)
        {
            return CR_INVALID_FLAG;
        }
        // The root of the tree (a NULL or empty ID) is not a node this machine keeps.
        if (pDeviceID == nullptr || *pDeviceID == '\0')
        {
            return CR_NO_SUCH_DEVNODE;
        }
        std::u16string id = UpperCase(WideFromAnsi(pDeviceID));
        std::vector<std::u16string> ids;
        NTSTATUS status = STATUS_SUCCESS;
        bool phantoms = (ulFlags & CM_LOCATE_DEVNODE_PHANTOM) != 0;
        if (!ListDeviceIds(!phantoms, &ids, &status))
        {
            return CR_NO_SUCH_DEVNODE;
        }
        for (const std::u16string& known : ids)
        {
            if (known == id)
            {
                *pdnDevInst = DevInstOf(id);
                return CR_SUCCESS;
            }
        }
        return CR_NO_SUCH_DEVNODE;
    }

    CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                           ULONG ulFlags)
    {
        if (pulStatus == nullptr || pulProblemNumber == nullptr)
        {
            return CR_INVALID_POINTER;
        }
        if (ulFlags != 0)
        {
            return CR_INVALID_FLAG;
        }
        std::optional<std::u16string> id = InstanceIdOfDevInst(dnDevInst);
        if (!id)
        {
            return CR_INVALID_DEVNODE;
        }
        ULONG status = 0;
        ULONG problem = 0;
        if (!NT_SUCCESS(ntdll::PlugPlayQueryDeviceStatus(*id, &status, &problem)))
        {
            return CR_NO_SUCH_DEVINST;
        }
        // A node that left its bus has no status (a phantom).
        std::vector<std::u16string> present;
        NTSTATUS listed = STATUS_SUCCESS;
        bool isPresent = false;
        if (ListDeviceIds(true, &present, &listed))
        {
            for (const std::u16string& known : present)
            {
                isPresent = isPresent || known == *id;
            }
        }
        if (!isPresent)
        {
            return CR_NO_SUCH_DEVINST;
        }
        *pulStatus = status;
        *pulProblemNumber = problem;
        return CR_SUCCESS;
    }

} // extern "C"
