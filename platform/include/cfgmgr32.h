// cfgmgr32's device node functions as far as the simulated machine implements them, with the
// names, constants and signatures of the Windows header of the same name. setupapi's SP_DEVINFO_DATA
// carries a DevInst these functions take.
#pragma once

#include <windows.h>
#include <cfg.h>

WINSIM_EXTERN_C_BEGIN

typedef DWORD RETURN_TYPE;
typedef RETURN_TYPE CONFIGRET;
typedef DWORD DEVNODE, DEVINST;
typedef DEVNODE *PDEVNODE, *PDEVINST;
typedef CHAR* DEVINSTID_A;

#define MAX_DEVICE_ID_LEN 200

#define CR_SUCCESS         0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG    0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE

// CM_Locate_DevNode flags: a present device only, or also one the machine knew (a phantom).
#define CM_LOCATE_DEVNODE_NORMAL  0x00000000
#define CM_LOCATE_DEVNODE_PHANTOM 0x00000001
#define CM_LOCATE_DEVNODE_BITS    0x00000007

WINSIM_API CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags);
WINSIM_API CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber,
                                                  DEVINST dnDevInst, ULONG ulFlags);

WINSIM_EXTERN_C_END
