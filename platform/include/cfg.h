// The Plug and Play manager's device node status flags, problem codes and veto reasons, with the
// names and values of the Windows header of the same name (cfgmgr32.h includes it).
#pragma once

#include <windows.h>

// Status flags of a device node (CM_Get_DevNode_Status).
#define DN_ROOT_ENUMERATED 0x00000001
#define DN_DRIVER_LOADED   0x00000002
#define DN_STARTED         0x00000008
#define DN_HAS_PROBLEM     0x00000400
#define DN_DISABLEABLE     0x00002000
#define DN_REMOVABLE       0x00004000

// Problem codes of a device node (Device Manager's "Code N").
#define CM_PROB_NOT_CONFIGURED 0x00000001
#define CM_PROB_FAILED_START   0x0000000A
#define CM_PROB_DISABLED       0x00000016
#define CM_PROB_FAILED_INSTALL 0x0000001C
#define CM_PROB_FAILED_ADD     0x0000001F

// Why the Plug and Play manager refused an operation; most reasons name something (the device's
// instance path for an open handle or a device's refusal, a driver's service name...).
typedef enum _PNP_VETO_TYPE
{
    PNP_VetoTypeUnknown,
    PNP_VetoLegacyDevice,
    PNP_VetoPendingClose,
    PNP_VetoWindowsApp,
    PNP_VetoWindowsService,
    PNP_VetoOutstandingOpen,
    PNP_VetoDevice,
    PNP_VetoDriver,
    PNP_VetoIllegalDeviceRequest,
    PNP_VetoInsufficientPower,
    PNP_VetoNonDisableable,
    PNP_VetoLegacyDriver,
    PNP_VetoInsufficientRights,
    PNP_VetoAlreadyRemoved
} PNP_VETO_TYPE, *PPNP_VETO_TYPE;
