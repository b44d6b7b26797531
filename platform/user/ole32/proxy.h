// What COM's proxies answer here for IID_IClientSecurity: the security blanket of calls made
// through them (CoSetProxyBlanket). The WMI client's objects stand for proxies of the WMI service
// and implement it; any other object does not, as an in-process object does not on Windows.
// Private to user mode: the Windows headers this machine provides do not declare IClientSecurity.
#pragma once

#include <objbase.h>

#include <atomic>

namespace winsim::user
{

extern const IID ClientSecurityIid; // IID_IClientSecurity

// IClientSecurity in its vtable order.
struct ClientSecurity : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown* pProxy, DWORD* pAuthnSvc, DWORD* pAuthzSvc,
                                                   OLECHAR** pServerPrincName, DWORD* pAuthnLevel,
                                                   DWORD* pImpLevel, void** pAuthInfo,
                                                   DWORD* pCapabilites) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc,
                                                 OLECHAR* pServerPrincName, DWORD dwAuthnLevel,
                                                 DWORD dwImpLevel, void* pAuthInfo, DWORD dwCapabilities) = 0;
    virtual HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown* pProxy, IUnknown** ppCopy) = 0;
};

// The blanket a proxy keeps: what SetBlanket checked and stored, QueryBlanket reports.
class ProxyBlanket
{
  public:
    HRESULT Set(DWORD authnSvc, DWORD authzSvc, DWORD authnLevel, DWORD impLevel);
    HRESULT Query(DWORD* authnSvc, DWORD* authzSvc, OLECHAR** principal, DWORD* authnLevel, DWORD* impLevel,
                  void** authInfo, DWORD* capabilities) const;

  private:
    std::atomic<DWORD> m_authnSvc{RPC_C_AUTHN_WINNT};
    std::atomic<DWORD> m_authnLevel{RPC_C_AUTHN_LEVEL_CONNECT};
    std::atomic<DWORD> m_impLevel{RPC_C_IMP_LEVEL_IDENTIFY};
};

// Whether the calling thread has initialised COM (CoInitializeEx) and not uninitialised it since.
bool ThreadHasCom();

// Stops the process on a COM method this machine declares (for its interface's vtable) but does
// not implement, naming it, rather than answer as if it did something.
[[noreturn]] void NotImplemented(const char* method);

} // namespace winsim::user
