// Device broadcasts: the events WM_DEVICECHANGE carries in its wParam and the structures its
// lParam points to, with the layouts of x64 Windows.
#pragma once

#include <winsim/base.h>
#include <guiddef.h>
#include <winuser.h>

#include <stddef.h>

#define DBT_DEVNODES_CHANGED        0x0007
#define DBT_DEVICEARRIVAL           0x8000
#define DBT_DEVICEQUERYREMOVE       0x8001
#define DBT_DEVICEQUERYREMOVEFAILED 0x8002
#define DBT_DEVICEREMOVEPENDING     0x8003
#define DBT_DEVICEREMOVECOMPLETE    0x8004
#define DBT_DEVICETYPESPECIFIC      0x8005
#define DBT_CUSTOMEVENT             0x8006

#define DBT_DEVTYP_OEM             0x00000000
#define DBT_DEVTYP_DEVNODE         0x00000001
#define DBT_DEVTYP_VOLUME          0x00000002
#define DBT_DEVTYP_PORT            0x00000003
#define DBT_DEVTYP_NET             0x00000004
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define DBT_DEVTYP_HANDLE          0x00000006

typedef struct _DEV_BROADCAST_HDR
{
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

typedef struct _DEV_BROADCAST_PORT_A
{
    DWORD dbcp_size;
    DWORD dbcp_devicetype;
    DWORD dbcp_reserved;
    char dbcp_name[1];
} DEV_BROADCAST_PORT_A, *PDEV_BROADCAST_PORT_A;

typedef struct _DEV_BROADCAST_DEVICEINTERFACE_A
{
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1];
} DEV_BROADCAST_DEVICEINTERFACE_A, *PDEV_BROADCAST_DEVICEINTERFACE_A;

typedef DEV_BROADCAST_PORT_A DEV_BROADCAST_PORT;
typedef PDEV_BROADCAST_PORT_A PDEV_BROADCAST_PORT;
typedef DEV_BROADCAST_DEVICEINTERFACE_A DEV_BROADCAST_DEVICEINTERFACE;
typedef PDEV_BROADCAST_DEVICEINTERFACE_A PDEV_BROADCAST_DEVICEINTERFACE;

#ifdef __cplusplus
static_assert(sizeof(DEV_BROADCAST_HDR) == 12, "DEV_BROADCAST_HDR");
static_assert(sizeof(DEV_BROADCAST_PORT_A) == 16 && offsetof(DEV_BROADCAST_PORT_A, dbcp_name) == 12,
              "DEV_BROADCAST_PORT_A");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32 &&
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid) == 12 &&
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) == 28,
              "DEV_BROADCAST_DEVICEINTERFACE_A");
#else
_Static_assert(sizeof(DEV_BROADCAST_HDR) == 12, "DEV_BROADCAST_HDR");
_Static_assert(sizeof(DEV_BROADCAST_PORT_A) == 16 && offsetof(DEV_BROADCAST_PORT_A, dbcp_name) == 12,
               "DEV_BROADCAST_PORT_A");
_Static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32 &&
                   offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid) == 12 &&
                   offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) == 28,
               "DEV_BROADCAST_DEVICEINTERFACE_A");
#endif
