// ole32's COM library: each thread's apartment (its initialisation count and concurrency model),
// the process's security initialisation, object creation for the classes this machine registers
// (the WMI locator) and the security blanket of proxies.
//
// Apartments are bookkeeping only: objects are called directly from any thread, as the objects of
// the multithreaded apartment are. The per-thread state is plain data (see internal.h).
#include <objbase.h>
#include <wbemidl.h>

#include "ole32/proxy.h"
#include "wbem/wbem.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>

namespace winsim::user
{

const IID ClientSecurityIid = {0x0000013D, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace
{

// The calling thread's apartment: how many initialisations are not yet undone, and their model.
struct Apartment
{
    unsigned initialisations;
    DWORD model; // COINIT_APARTMENTTHREADED or COINIT_MULTITHREADED
};
thread_local Apartment t_apartment = {0, COINIT_MULTITHREADED};

std::atomic<bool> g_securityInitialised{false};

} // namespace

bool ThreadHasCom()
{
    return t_apartment.initialisations != 0;
}

void NotImplemented(const char* method)
{
    fprintf(stderr, "*** %s is not implemented on this machine\n", method);
    fflush(stderr);
    abort();
}

HRESULT ProxyBlanket::Set(DWORD authnSvc, DWORD, DWORD authnLevel, DWORD impLevel)
{
    if (authnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || impLevel > RPC_C_IMP_LEVEL_DELEGATE)
    {
        return E_INVALIDARG;
    }
    m_authnSvc = authnSvc == RPC_C_AUTHN_DEFAULT ? RPC_C_AUTHN_WINNT : authnSvc;
    if (authnLevel != RPC_C_AUTHN_LEVEL_DEFAULT)
    {
        m_authnLevel = authnLevel;
    }
    if (impLevel != RPC_C_IMP_LEVEL_DEFAULT)
    {
        m_impLevel = impLevel;
    }
    return S_OK;
}

HRESULT ProxyBlanket::Query(DWORD* authnSvc, DWORD* authzSvc, OLECHAR** principal, DWORD* authnLevel,
                            DWORD* impLevel, void** authInfo, DWORD* capabilities) const
{
    if (authnSvc != nullptr)
    {
        *authnSvc = m_authnSvc;
    }
    if (authzSvc != nullptr)
    {
        *authzSvc = RPC_C_AUTHZ_NONE;
    }
    if (principal != nullptr)
    {
        *principal = nullptr;
    }
    if (authnLevel != nullptr)
    {
        *authnLevel = m_authnLevel;
    }
    if (impLevel != nullptr)
    {
        *impLevel = m_impLevel;
    }
    if (authInfo != nullptr)
    {
        *authInfo = nullptr;
    }
    if (capabilities != nullptr)
    {
        *capabilities = EOAC_NONE;
    }
    return S_OK;
}

} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit)
    {
        if (pvReserved != nullptr)
        {
            return E_INVALIDARG;
        }
        DWORD model =
            (dwCoInit & COINIT_APARTMENTTHREADED) != 0 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
        Apartment& apartment = t_apartment;
        if (apartment.initialisations != 0)
        {
            if (apartment.model != model)
            {
                return RPC_E_CHANGED_MODE;
            }
            ++apartment.initialisations;
            return S_FALSE;
        }
        apartment.initialisations = 1;
        apartment.model = model;
        return S_OK;
    }

    void WINAPI CoUninitialize(void)
    {
        if (t_apartment.initialisations != 0)
        {
            --t_apartment.initialisations;
        }
    }

    HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR, LONG cAuthSvc,
                                        SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void*, DWORD dwAuthnLevel,
                                        DWORD dwImpLevel, void*, DWORD, void*)
    {
        if (!ThreadHasCom())
        {
            return CO_E_NOTINITIALIZED;
        }
        if (cAuthSvc < -1 || (cAuthSvc > 0 && asAuthSvc == nullptr) ||
            dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE)
        {
            return E_INVALIDARG;
        }
        bool expected = false;
        return g_securityInitialised.compare_exchange_strong(expected, true) ? S_OK : RPC_E_TOO_LATE;
    }

    HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                    LPVOID* ppv)
    {
        if (ppv == nullptr)
        {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (!ThreadHasCom())
        {
            return CO_E_NOTINITIALIZED;
        }
        // The machine registers one class, the WMI locator, as an in-process server.
        if (!IsEqualGUID(rclsid, CLSID_WbemLocator) || (dwClsContext & CLSCTX_INPROC_SERVER) == 0)
        {
            return REGDB_E_CLASSNOTREG;
        }
        if (pUnkOuter != nullptr)
        {
            return CLASS_E_NOAGGREGATION;
        }
        return CreateWbemLocator(riid, ppv);
    }

    HRESULT WINAPI CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc,
                                     OLECHAR* pServerPrincName, DWORD dwAuthnLevel, DWORD dwImpLevel,
                                     RPC_AUTH_IDENTITY_HANDLE pAuthInfo, DWORD dwCapabilities)
    {
        if (pProxy == nullptr)
        {
            return E_INVALIDARG;
        }
        ClientSecurity* security = nullptr;
        HRESULT hr = pProxy->QueryInterface(ClientSecurityIid, reinterpret_cast<void**>(&security));
        if (FAILED(hr))
        {
            return hr;
        }
        hr = security->SetBlanket(pProxy, dwAuthnSvc, dwAuthzSvc, pServerPrincName, dwAuthnLevel, dwImpLevel,
                                  pAuthInfo, dwCapabilities);
        security->Release();
        return hr;
    }

} // extern "C"
