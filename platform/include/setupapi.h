// setupapi's device information functions as far as the simulated machine implements them, with
// the names, constants, structure layouts and signatures of the Windows header of the same name.
#pragma once

#include <windows.h>
#include <prsht.h>

WINSIM_EXTERN_C_BEGIN

#define WINSETUPAPI DECLSPEC_IMPORT

// A device information set: an object of setupapi in the calling process.
typedef PVOID HDEVINFO;

typedef struct _SP_DEVINFO_DATA
{
    DWORD cbSize; // sizeof(SP_DEVINFO_DATA), set by the caller
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA as on 64-bit Windows");

// SetupDiGetClassDevs flags.
#define DIGCF_PRESENT         0x00000002
#define DIGCF_ALLCLASSES      0x00000004
#define DIGCF_PROFILE         0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

// --- device interfaces of a set (SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetail) ---
typedef struct _SP_DEVICE_INTERFACE_DATA
{
    DWORD cbSize; // sizeof(SP_DEVICE_INTERFACE_DATA), set by the caller
    GUID InterfaceClassGuid;
    DWORD Flags; // SPINT_*
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "SP_DEVICE_INTERFACE_DATA as on 64-bit Windows");

// Flags of SP_DEVICE_INTERFACE_DATA.
#define SPINT_ACTIVE  0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

// The path CreateFile opens; cbSize is the size of the fixed part (8 on 64-bit Windows), the
// buffer the caller gives holds the whole path.
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A
{
    DWORD cbSize; // sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), set by the caller
    CHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8,
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A as on 64-bit Windows");

// SetupDiOpenDeviceInterface: look the interface up without adding it to the set.
#define DIODI_NO_ADD 0x00000001
// setupapi's error for a device path that names no interface (see the error codes below).
#define ERROR_NO_SUCH_DEVICE_INTERFACE (0x20000000 | 0xC0000000 | 0x225)

// SetupDiOpenDevRegKey scopes and key types.
#define DICS_FLAG_GLOBAL         0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DIREG_DEV                0x00000001
#define DIREG_DRV                0x00000002

// SetupDiGetDeviceInfoListDetail: the machine a set belongs to (an empty name and no handle for
// the local one).
#define SP_MAX_MACHINENAME_LENGTH (MAX_PATH + 3)

typedef struct _SP_DEVINFO_LIST_DETAIL_DATA_A
{
    DWORD cbSize; // sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A), set by the caller
    GUID ClassGuid;
    HANDLE RemoteMachineHandle;
    CHAR RemoteMachineName[SP_MAX_MACHINENAME_LENGTH];
} SP_DEVINFO_LIST_DETAIL_DATA_A, *PSP_DEVINFO_LIST_DETAIL_DATA_A;
static_assert(sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A) == 296,
              "SP_DEVINFO_LIST_DETAIL_DATA_A as on 64-bit Windows");

// Device registry properties (SetupDiGetDeviceRegistryProperty, SetupDiSetDeviceRegistryProperty).
#define SPDRP_DEVICEDESC       0x00000000 // REG_SZ
#define SPDRP_HARDWAREID       0x00000001 // REG_MULTI_SZ
#define SPDRP_COMPATIBLEIDS    0x00000002 // REG_MULTI_SZ
#define SPDRP_FRIENDLYNAME     0x0000000C // REG_SZ
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

// Device installation functions (SetupDiCallClassInstaller).
typedef UINT DI_FUNCTION;
#define DIF_PROPERTYCHANGE 0x00000012

// The header of every class install parameter structure.
typedef struct _SP_CLASSINSTALL_HEADER
{
    DWORD cbSize; // sizeof(SP_CLASSINSTALL_HEADER)
    DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8, "SP_CLASSINSTALL_HEADER as on Windows");

// DIF_PROPERTYCHANGE's parameters: what to change, in which scope and hardware profile.
typedef struct _SP_PROPCHANGE_PARAMS
{
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD StateChange; // DICS_ENABLE, DICS_DISABLE, DICS_PROPCHANGE...
    DWORD Scope;       // DICS_FLAG_GLOBAL or DICS_FLAG_CONFIGSPECIFIC
    DWORD HwProfile;   // with DICS_FLAG_CONFIGSPECIFIC: the profile, 0 for the current one
} SP_PROPCHANGE_PARAMS, *PSP_PROPCHANGE_PARAMS;
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20, "SP_PROPCHANGE_PARAMS as on Windows");

// State changes of SP_PROPCHANGE_PARAMS.
#define DICS_ENABLE     0x00000001
#define DICS_DISABLE    0x00000002
#define DICS_PROPCHANGE 0x00000003
#define DICS_START      0x00000004
#define DICS_STOP       0x00000005

// A file queue (no file queues here) and its callback, as SP_DEVINSTALL_PARAMS names them.
typedef PVOID HSPFILEQ;
typedef UINT(CALLBACK* PSP_FILE_CALLBACK_A)(PVOID Context, UINT Notification, UINT_PTR Param1,
                                            UINT_PTR Param2);

typedef struct _SP_DEVINSTALL_PARAMS_A
{
    DWORD cbSize; // sizeof(SP_DEVINSTALL_PARAMS_A), set by the caller
    DWORD Flags;  // DI_*
    DWORD FlagsEx;
    HWND hwndParent;
    PSP_FILE_CALLBACK_A InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    HSPFILEQ FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    CHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_A, *PSP_DEVINSTALL_PARAMS_A;
static_assert(sizeof(SP_DEVINSTALL_PARAMS_A) == 320, "SP_DEVINSTALL_PARAMS_A as on 64-bit Windows");

// Flags of SP_DEVINSTALL_PARAMS.
#define DI_NEEDRESTART        0x00000080
#define DI_NEEDREBOOT         0x00000100
#define DI_DONOTCALLCONFIGMG  0x00020000
#define DI_CLASSINSTALLPARAMS 0x00100000

// --- more flags of SP_DEVINSTALL_PARAMS (SetupDiSetDeviceInstallParams) ------------------------
// Those a caller may set.
#define DI_SHOWOEM             0x00000001
#define DI_NOVCP               0x00000008
#define DI_NOBROWSE            0x00000200
#define DI_RESOURCEPAGE_ADDED  0x00002000
#define DI_PROPERTIES_CHANGE   0x00004000
#define DI_INF_IS_SORTED       0x00008000
#define DI_ENUMSINGLEINF       0x00010000
#define DI_INSTALLDISABLED     0x00040000
#define DI_COMPAT_FROM_CLASS   0x00080000
#define DI_NODI_DEFAULTACTION  0x00200000
#define DI_QUIETINSTALL        0x00800000
#define DI_NOFILECOPY          0x01000000
#define DI_DRIVERPAGE_ADDED    0x04000000
#define DI_USECI_SELECTSTRINGS 0x08000000
#define DI_NOWRITE_IDS         0x80000000
// Those only setupapi sets (its driver lists).
#define DI_DIDCOMPAT 0x00000010
#define DI_DIDCLASS  0x00000020
#define DI_MULTMFGS  0x00000400

// setupapi's own error codes (customer bit and error severity set).
#define APPLICATION_ERROR_MASK        0x20000000
#define ERROR_SEVERITY_ERROR          0xC0000000
#define ERROR_KEY_DOES_NOT_EXIST      (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x204)
#define ERROR_INVALID_REG_PROPERTY    (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x209)
#define ERROR_INVALID_HWPROFILE       (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x210)
#define ERROR_NO_CLASSINSTALL_PARAMS  (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x215)
#define ERROR_INVALID_CLASS_INSTALLER (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20D)
#define ERROR_DI_DO_DEFAULT           (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20E)
#define ERROR_INVALID_MACHINENAME     (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x220)
#define ERROR_NO_SUCH_DEVINST         (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20B)

WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                                DWORD Flags);
WINSIM_API BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                             PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                   PDWORD RequiredSize);
WINSIM_API HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            DWORD Scope, DWORD HwProfile, DWORD KeyType, REGSAM samDesired);
WINSIM_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

WINSIM_API BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
    PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiOpenDeviceInterfaceA(HDEVINFO DeviceInfoSet, PCSTR DevicePath, DWORD OpenFlags,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);

WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsExA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                                  DWORD Flags, HDEVINFO DeviceInfoSet, PCSTR MachineName,
                                                  PVOID Reserved);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInfoListDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVINFO_LIST_DETAIL_DATA_A DeviceInfoSetDetailData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                         PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                         DWORD PropertyBufferSize, PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                         const BYTE* PropertyBuffer,
                                                         DWORD PropertyBufferSize);
WINSIM_API BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                                     DWORD ClassInstallParamsSize);
WINSIM_API BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiSetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                      PSP_DEVINSTALL_PARAMS_A DeviceInstallParams);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                      PSP_DEVINSTALL_PARAMS_A DeviceInstallParams);

// --- property pages of a device (SetupDiGetClassDevPropertySheets) ---

// What SetupDiGetClassDevPropertySheets gathers.
#define DIGCDP_FLAG_BASIC           0x00000001
#define DIGCDP_FLAG_ADVANCED        0x00000002
#define DIGCDP_FLAG_REMOTE_BASIC    0x00000003
#define DIGCDP_FLAG_REMOTE_ADVANCED 0x00000004

// A device information set without a setup class asked for its class's pages.
#define ERROR_NO_ASSOCIATED_CLASS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x200)

// What a property page provider (an EnumPropPages32 entry point) is asked for.
#define SPPSR_SELECT_DEVICE_RESOURCES      1
#define SPPSR_ENUM_ADV_DEVICE_PROPERTIES   2
#define SPPSR_ENUM_BASIC_DEVICE_PROPERTIES 3

typedef struct _SP_PROPSHEETPAGE_REQUEST
{
    DWORD cbSize;        // sizeof(SP_PROPSHEETPAGE_REQUEST)
    DWORD PageRequested; // SPPSR_*
    HDEVINFO DeviceInfoSet;
    PSP_DEVINFO_DATA DeviceInfoData;
} SP_PROPSHEETPAGE_REQUEST, *PSP_PROPSHEETPAGE_REQUEST;
static_assert(sizeof(SP_PROPSHEETPAGE_REQUEST) == 24, "SP_PROPSHEETPAGE_REQUEST as on 64-bit Windows");

// The signature of a provider's entry point.
typedef BOOL(WINAPI* PSP_ENUM_PROPSHEETPAGES)(PSP_PROPSHEETPAGE_REQUEST PropPageRequest,
                                              LPFNADDPROPSHEETPAGE lpfnAddPropSheetPageProc, LPARAM lParam);

WINSIM_API BOOL WINAPI SetupDiGetClassDevPropertySheetsA(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVINFO_DATA DeviceInfoData,
                                                         LPPROPSHEETHEADERA PropertySheetHeader,
                                                         DWORD PropertySheetHeaderPageListSize,
                                                         PDWORD RequiredSize, DWORD PropertySheetType);

WINSIM_EXTERN_C_END
