// ole32's COM library as far as the simulated machine implements it: initialising a thread's
// apartment, process security, creating objects and setting a proxy's security blanket, with the
// names, constants and signatures of the Windows headers (objbase.h, combaseapi.h, and the RPC
// constants of rpcdce.h it brings in).
#pragma once

#include <winsim/base.h>
#include <unknwn.h>
#include <wtypes.h>

WINSIM_EXTERN_C_BEGIN

typedef enum tagCOINIT
{
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

// Authentication services, levels and impersonation levels (rpcdce.h).
#define RPC_C_AUTHN_NONE                0
#define RPC_C_AUTHN_WINNT               10
#define RPC_C_AUTHN_DEFAULT             0xFFFFFFFFL
#define RPC_C_AUTHZ_NONE                0
#define RPC_C_AUTHZ_DEFAULT             0xFFFFFFFFL
#define RPC_C_AUTHN_LEVEL_DEFAULT       0
#define RPC_C_AUTHN_LEVEL_NONE          1
#define RPC_C_AUTHN_LEVEL_CONNECT       2
#define RPC_C_AUTHN_LEVEL_CALL          3
#define RPC_C_AUTHN_LEVEL_PKT           4
#define RPC_C_AUTHN_LEVEL_PKT_INTEGRITY 5
#define RPC_C_AUTHN_LEVEL_PKT_PRIVACY   6
#define RPC_C_IMP_LEVEL_DEFAULT         0
#define RPC_C_IMP_LEVEL_ANONYMOUS       1
#define RPC_C_IMP_LEVEL_IDENTIFY        2
#define RPC_C_IMP_LEVEL_IMPERSONATE     3
#define RPC_C_IMP_LEVEL_DELEGATE        4
typedef void* RPC_AUTH_IDENTITY_HANDLE;

typedef enum tagEOLE_AUTHENTICATION_CAPABILITIES
{
    EOAC_NONE = 0x0,
} EOLE_AUTHENTICATION_CAPABILITIES;

#define COLE_DEFAULT_PRINCIPAL ((OLECHAR*)(INT_PTR)-1)
#define COLE_DEFAULT_AUTHINFO  ((void*)(INT_PTR)-1)

typedef PVOID PSECURITY_DESCRIPTOR;

typedef struct tagSOLE_AUTHENTICATION_SERVICE
{
    DWORD dwAuthnSvc;
    DWORD dwAuthzSvc;
    OLECHAR* pPrincipalName;
    HRESULT hr;
} SOLE_AUTHENTICATION_SERVICE;

// S_OK for the thread's first initialisation, S_FALSE for a further one in the same concurrency
// model, RPC_E_CHANGED_MODE for one in the other model. Each success is paired with a CoUninitialize.
WINSIM_API HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINSIM_API void WINAPI CoUninitialize(void);
// Once a process: S_OK the first time, RPC_E_TOO_LATE after; CO_E_NOTINITIALIZED on a thread
// without COM.
WINSIM_API HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                                               SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void* pReserved1,
                                               DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                                               DWORD dwCapabilities, void* pReserved3);
WINSIM_API HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                           REFIID riid, LPVOID* ppv);
// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (either case) to its GUID; NULL gives GUID_NULL. The
// machine registers no ProgIDs, so any other text is CO_E_CLASSSTRING.
WINSIM_API HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
WINSIM_API HRESULT WINAPI CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc,
                                            OLECHAR* pServerPrincName, DWORD dwAuthnLevel, DWORD dwImpLevel,
                                            RPC_AUTH_IDENTITY_HANDLE pAuthInfo, DWORD dwCapabilities);

WINSIM_EXTERN_C_END
