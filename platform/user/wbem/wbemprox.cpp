// The WMI client: the locator, the services of the ROOT\CIMV2 namespace, the enumerators of its
// queries and the class objects they return. On Windows these are proxies of the WMI service; here
// they live in the process, and the provider behind Win32_PnPEntity reads the machine's device
// nodes through the Plug and Play queries of the seam and their Enum keys through the registry
// services when the query runs (the rows are a snapshot of that moment).
//
// Every object counts its references with atomics and deletes itself when the last is released.
// The services and the enumerators answer IClientSecurity, as proxies do, so CoSetProxyBlanket
// works on them. A method of the interfaces that this machine does not implement stops the process
// with its name (NotImplemented) rather than answer as if it had done something.
#include <ntstatus.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include "base/unicode.h"
#include "ole32/proxy.h"
#include "setupapi/devnodes.h"
#include "wbem/wbem.h"
#include <winsim/user.h>

#include <stdio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace winsim::user
{
namespace
{

std::atomic<long> g_liveObjects{0};

// A property of a row: a string, or null.
struct Property
{
    std::u16string name;
    std::optional<std::u16string> value;
};

// One instance of a class: its class name and its properties in the class's order.
struct Row
{
    std::u16string className;
    std::vector<Property> properties;
};

bool SameName(std::u16string_view a, std::u16string_view b)
{
    return EqualsNoCase(a, b);
}

std::u16string TextOf(const OLECHAR* text)
{
    return text == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(text));
}

// --- reference counting ------------------------------------------------------------------------

// The reference count of an object and its place in the live-object count.
class RefCount
{
  public:
    RefCount() { ++g_liveObjects; }
    virtual ~RefCount() { --g_liveObjects; }
    RefCount(const RefCount&) = delete;
    RefCount& operator=(const RefCount&) = delete;

    ULONG Add() { return ++m_references; }
    ULONG Drop()
    {
        ULONG left = --m_references;
        if (left == 0)
        {
            delete this;
        }
        return left;
    }

  private:
    std::atomic<ULONG> m_references{1};
};

// --- Win32_PnPEntity ---------------------------------------------------------------------------

constexpr std::u16string_view PnpEntityClass = u"Win32_PnPEntity";

// The properties a Win32_PnPEntity row carries here, in this order.
constexpr std::u16string_view PnpEntityProperties[] = {
    u"Caption",      u"ClassGuid", u"CreationClassName", u"Description", u"DeviceID",
    u"Manufacturer", u"Name",      u"PNPClass",          u"PNPDeviceID", u"Service",
};

// A device node as a Win32_PnPEntity: Caption and Name are its FriendlyName when it has one, else
// its DeviceDesc; DeviceID and PNPDeviceID its instance ID.
Row PnpEntityRow(const std::u16string& instanceId)
{
    auto value = [&instanceId](std::u16string_view name) { return DeviceRegistryString(instanceId, name); };
    std::optional<std::u16string> description = value(u"DeviceDesc");
    std::optional<std::u16string> caption = value(u"FriendlyName");
    if (!caption)
    {
        caption = description;
    }
    Row row;
    row.className = std::u16string(PnpEntityClass);
    row.properties = {
        {u"Caption", caption},
        {u"ClassGuid", value(u"ClassGUID")},
        {u"CreationClassName", std::u16string(PnpEntityClass)},
        {u"Description", description},
        {u"DeviceID", instanceId},
        {u"Manufacturer", value(u"Mfg")},
        {u"Name", caption},
        {u"PNPClass", value(u"Class")},
        {u"PNPDeviceID", instanceId},
        {u"Service", value(u"Service")},
    };
    return row;
}

bool IsPnpEntityProperty(std::u16string_view name)
{
    for (auto property : PnpEntityProperties)
    {
        if (SameName(property, name))
        {
            return true;
        }
    }
    return false;
}

// --- WQL -----------------------------------------------------------------------------------------

struct Query
{
    bool allProperties = false;
    std::vector<std::u16string> properties;
    std::u16string className;
};

// Splits a query into words; a comma is a word of its own.
std::vector<std::u16string> Words(std::u16string_view text)
{
    std::vector<std::u16string> words;
    std::u16string current;
    auto flush = [&]() {
        if (!current.empty())
        {
            words.push_back(current);
            current.clear();
        }
    };
    for (char16_t c : text)
    {
        if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n')
        {
            flush();
        }
        else if (c == u',')
        {
            flush();
            words.push_back(u",");
        }
        else
        {
            current.push_back(c);
        }
    }
    flush();
    return words;
}

// SELECT * | property [, property...] FROM class. A WHERE clause is not implemented here.
HRESULT ParseQuery(std::u16string_view text, Query* query)
{
    std::vector<std::u16string> words = Words(text);
    size_t at = 0;
    if (words.empty() || !SameName(words[at++], u"SELECT"))
    {
        return WBEM_E_INVALID_QUERY;
    }
    if (at < words.size() && words[at] == u"*")
    {
        query->allProperties = true;
        ++at;
    }
    else
    {
        for (;;)
        {
            if (at >= words.size() || words[at] == u"," || SameName(words[at], u"FROM"))
            {
                return WBEM_E_INVALID_QUERY;
            }
            query->properties.push_back(words[at++]);
            if (at < words.size() && words[at] == u",")
            {
                ++at;
                continue;
            }
            break;
        }
    }
    if (at + 1 >= words.size() || !SameName(words[at], u"FROM"))
    {
        return WBEM_E_INVALID_QUERY;
    }
    query->className = words[at + 1];
    at += 2;
    if (at < words.size())
    {
        if (SameName(words[at], u"WHERE"))
        {
            fprintf(stderr, "*** WQL: a WHERE clause is not implemented on this machine\n");
            return WBEM_E_NOT_SUPPORTED;
        }
        return WBEM_E_INVALID_QUERY;
    }
    return WBEM_S_NO_ERROR;
}

// --- IWbemClassObject ------------------------------------------------------------------------------

class ClassObject final : public IWbemClassObject, private RefCount
{
  public:
    explicit ClassObject(std::shared_ptr<const Row> row) : m_row(std::move(row)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr)
        {
            return E_POINTER;
        }
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IWbemClassObject))
        {
            *ppvObject = static_cast<IWbemClassObject*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                  LONG* plFlavor) override
    {
        if (wszName == nullptr || lFlags != 0)
        {
            return WBEM_E_INVALID_PARAMETER;
        }
        std::u16string name = TextOf(wszName);
        std::optional<std::u16string> value;
        LONG flavor = WBEM_FLAVOR_ORIGIN_PROPAGATED;
        bool found = false;
        if (SameName(name, u"__CLASS"))
        {
            value = m_row->className;
            flavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
            found = true;
        }
        for (const Property& property : m_row->properties)
        {
            if (!found && SameName(property.name, name))
            {
                value = property.value;
                found = true;
            }
        }
        if (!found)
        {
            return WBEM_E_NOT_FOUND;
        }
        if (pVal != nullptr)
        {
            VariantInit(pVal);
            if (value)
            {
                pVal->bstrVal = SysAllocString(reinterpret_cast<const OLECHAR*>(value->c_str()));
                if (pVal->bstrVal == nullptr)
                {
                    return E_OUTOFMEMORY;
                }
                pVal->vt = VT_BSTR;
            }
            else
            {
                pVal->vt = VT_NULL;
            }
        }
        if (pType != nullptr)
        {
            *pType = CIM_STRING;
        }
        if (plFlavor != nullptr)
        {
            *plFlavor = flavor;
        }
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override
    {
        NotImplemented("IWbemClassObject::GetQualifierSet");
    }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override
    {
        NotImplemented("IWbemClassObject::Put");
    }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { NotImplemented("IWbemClassObject::Delete"); }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, struct tagSAFEARRAY**) override
    {
        NotImplemented("IWbemClassObject::GetNames");
    }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override
    {
        NotImplemented("IWbemClassObject::BeginEnumeration");
    }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override
    {
        NotImplemented("IWbemClassObject::Next");
    }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override
    {
        NotImplemented("IWbemClassObject::EndEnumeration");
    }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        NotImplemented("IWbemClassObject::GetPropertyQualifierSet");
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override
    {
        NotImplemented("IWbemClassObject::Clone");
    }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override
    {
        NotImplemented("IWbemClassObject::GetObjectText");
    }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override
    {
        NotImplemented("IWbemClassObject::SpawnDerivedClass");
    }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override
    {
        NotImplemented("IWbemClassObject::SpawnInstance");
    }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override
    {
        NotImplemented("IWbemClassObject::CompareTo");
    }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override
    {
        NotImplemented("IWbemClassObject::GetPropertyOrigin");
    }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override
    {
        NotImplemented("IWbemClassObject::InheritsFrom");
    }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override
    {
        NotImplemented("IWbemClassObject::GetMethod");
    }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override
    {
        NotImplemented("IWbemClassObject::PutMethod");
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override
    {
        NotImplemented("IWbemClassObject::DeleteMethod");
    }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override
    {
        NotImplemented("IWbemClassObject::BeginMethodEnumeration");
    }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override
    {
        NotImplemented("IWbemClassObject::NextMethod");
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override
    {
        NotImplemented("IWbemClassObject::EndMethodEnumeration");
    }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        NotImplemented("IWbemClassObject::GetMethodQualifierSet");
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override
    {
        NotImplemented("IWbemClassObject::GetMethodOrigin");
    }

  private:
    std::shared_ptr<const Row> m_row;
};

// --- a proxy's IClientSecurity -------------------------------------------------------------------

// Answers IClientSecurity for the proxy object that holds it (its IUnknown goes to the proxy).
class ProxySecurity final : public ClientSecurity
{
  public:
    explicit ProxySecurity(IUnknown* proxy) : m_proxy(proxy) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        return m_proxy->QueryInterface(riid, ppvObject);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_proxy->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_proxy->Release(); }

    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD* pAuthnSvc, DWORD* pAuthzSvc,
                                           OLECHAR** pServerPrincName, DWORD* pAuthnLevel, DWORD* pImpLevel,
                                           void** pAuthInfo, DWORD* pCapabilites) override
    {
        return m_blanket.Query(pAuthnSvc, pAuthzSvc, pServerPrincName, pAuthnLevel, pImpLevel, pAuthInfo,
                               pCapabilites);
    }
    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR*,
                                         DWORD dwAuthnLevel, DWORD dwImpLevel, void*, DWORD) override
    {
        return m_blanket.Set(dwAuthnSvc, dwAuthzSvc, dwAuthnLevel, dwImpLevel);
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override
    {
        NotImplemented("IClientSecurity::CopyProxy");
    }

  private:
    IUnknown* m_proxy;
    ProxyBlanket m_blanket;
};

// --- IEnumWbemClassObject ------------------------------------------------------------------------

class Enumerator final : public IEnumWbemClassObject, private RefCount
{
  public:
    Enumerator(std::vector<std::shared_ptr<const Row>> rows, bool forwardOnly)
        : m_rows(std::move(rows)), m_forwardOnly(forwardOnly), m_security(this)
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr)
        {
            return E_POINTER;
        }
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IEnumWbemClassObject))
        {
            *ppvObject = static_cast<IEnumWbemClassObject*>(this);
        }
        else if (IsEqualGUID(riid, ClientSecurityIid))
        {
            *ppvObject = static_cast<ClientSecurity*>(&m_security);
        }
        else
        {
            *ppvObject = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }

    HRESULT STDMETHODCALLTYPE Reset() override
    {
        if (m_forwardOnly)
        {
            return WBEM_E_INVALID_OPERATION;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_next = 0;
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override
    {
        if (apObjects == nullptr || puReturned == nullptr || (lTimeout < 0 && lTimeout != WBEM_INFINITE))
        {
            return WBEM_E_INVALID_PARAMETER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        ULONG returned = 0;
        while (returned < uCount && m_next < m_rows.size())
        {
            apObjects[returned++] = new ClassObject(m_rows[m_next++]);
        }
        *puReturned = returned;
        return returned == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override
    {
        NotImplemented("IEnumWbemClassObject::NextAsync");
    }

    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) override
    {
        if (ppEnum == nullptr)
        {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppEnum = nullptr;
        if (m_forwardOnly)
        {
            return WBEM_E_INVALID_OPERATION;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        auto* copy = new Enumerator(m_rows, false);
        copy->m_next = m_next;
        *ppEnum = copy;
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE Skip(LONG lTimeout, ULONG nCount) override
    {
        if (lTimeout < 0 && lTimeout != WBEM_INFINITE)
        {
            return WBEM_E_INVALID_PARAMETER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        size_t left = m_rows.size() - m_next;
        size_t skipped = nCount < left ? nCount : left;
        m_next += skipped;
        return skipped == nCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

  private:
    std::mutex m_lock; // guards m_next
    std::vector<std::shared_ptr<const Row>> m_rows;
    size_t m_next = 0;
    bool m_forwardOnly;
    ProxySecurity m_security;
};

// --- IWbemServices -----------------------------------------------------------------------------

class Services final : public IWbemServices, private RefCount
{
  public:
    Services() : m_security(this) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr)
        {
            return E_POINTER;
        }
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IWbemServices))
        {
            *ppvObject = static_cast<IWbemServices*>(this);
        }
        else if (IsEqualGUID(riid, ClientSecurityIid))
        {
            *ppvObject = static_cast<ClientSecurity*>(&m_security);
        }
        else
        {
            *ppvObject = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                        IWbemContext*, IEnumWbemClassObject** ppEnum) override
    {
        if (ppEnum == nullptr || strQueryLanguage == nullptr || strQuery == nullptr ||
            (lFlags & ~(WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY)) != 0)
        {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppEnum = nullptr;
        if (!SameName(TextOf(strQueryLanguage), u"WQL"))
        {
            return WBEM_E_INVALID_QUERY_TYPE;
        }
        Query query;
        HRESULT hr = ParseQuery(TextOf(strQuery), &query);
        if (FAILED(hr))
        {
            return hr;
        }
        if (!SameName(query.className, PnpEntityClass))
        {
            return WBEM_E_INVALID_CLASS;
        }
        for (const std::u16string& property : query.properties)
        {
            if (!IsPnpEntityProperty(property))
            {
                return WBEM_E_INVALID_QUERY;
            }
        }
        std::vector<std::u16string> ids;
        NTSTATUS status = STATUS_SUCCESS;
        if (!ListDeviceIds(true, &ids, &status))
        {
            return WBEM_E_FAILED;
        }
        std::vector<std::shared_ptr<const Row>> rows;
        for (const std::u16string& id : ids)
        {
            Row row = PnpEntityRow(id);
            // A selection leaves the other properties of the class null.
            if (!query.allProperties)
            {
                for (Property& property : row.properties)
                {
                    bool selected = false;
                    for (const std::u16string& name : query.properties)
                    {
                        selected = selected || SameName(name, property.name);
                    }
                    if (!selected)
                    {
                        property.value.reset();
                    }
                }
            }
            rows.push_back(std::make_shared<const Row>(std::move(row)));
        }
        *ppEnum = new Enumerator(std::move(rows), (lFlags & WBEM_FLAG_FORWARD_ONLY) != 0);
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override
    {
        NotImplemented("IWbemServices::OpenNamespace");
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::CancelAsyncCall");
    }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override
    {
        NotImplemented("IWbemServices::QueryObjectSink");
    }
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                                        IWbemCallResult**) override
    {
        NotImplemented("IWbemServices::GetObject");
    }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::GetObjectAsync");
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        NotImplemented("IWbemServices::PutClass");
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::PutClassAsync");
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        NotImplemented("IWbemServices::DeleteClass");
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::DeleteClassAsync");
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                              IEnumWbemClassObject**) override
    {
        NotImplemented("IWbemServices::CreateClassEnum");
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::CreateClassEnumAsync");
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        NotImplemented("IWbemServices::PutInstance");
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                               IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::PutInstanceAsync");
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        NotImplemented("IWbemServices::DeleteInstance");
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::DeleteInstanceAsync");
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*,
                                                 IEnumWbemClassObject**) override
    {
        NotImplemented("IWbemServices::CreateInstanceEnum");
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                      IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::CreateInstanceEnumAsync");
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::ExecQueryAsync");
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject**) override
    {
        NotImplemented("IWbemServices::ExecNotificationQuery");
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::ExecNotificationQueryAsync");
    }
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                         IWbemClassObject**, IWbemCallResult**) override
    {
        NotImplemented("IWbemServices::ExecMethod");
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                              IWbemObjectSink*) override
    {
        NotImplemented("IWbemServices::ExecMethodAsync");
    }

  private:
    ProxySecurity m_security;
};

// --- IWbemLocator ------------------------------------------------------------------------------

// The namespace a network resource names on this machine ("ROOT\CIMV2"), or none when it names
// another machine. "\\.\", "\\localhost\" and the same with forward slashes name this one.
std::optional<std::u16string> LocalNamespace(std::u16string path)
{
    for (auto& c : path)
    {
        if (c == u'/')
        {
            c = u'\\';
        }
    }
    if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\')
    {
        size_t end = path.find(u'\\', 2);
        std::u16string server = path.substr(2, end == std::u16string::npos ? std::u16string::npos : end - 2);
        if (server != u"." && !SameName(server, u"localhost"))
        {
            return std::nullopt;
        }
        path = end == std::u16string::npos ? std::u16string() : path.substr(end + 1);
    }
    return path;
}

class Locator final : public IWbemLocator, private RefCount
{
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr)
        {
            return E_POINTER;
        }
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IWbemLocator))
        {
            *ppvObject = static_cast<IWbemLocator*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Add(); }
    ULONG STDMETHODCALLTYPE Release() override { return Drop(); }

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser, const BSTR,
                                            const BSTR, LONG lSecurityFlags, const BSTR, IWbemContext*,
                                            IWbemServices** ppNamespace) override
    {
        if (ppNamespace == nullptr || strNetworkResource == nullptr ||
            (lSecurityFlags & ~WBEM_FLAG_CONNECT_USE_MAX_WAIT) != 0)
        {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppNamespace = nullptr;
        std::optional<std::u16string> name = LocalNamespace(TextOf(strNetworkResource));
        if (!name)
        {
            return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
        }
        // A connection to this machine takes no user name of its own.
        if (strUser != nullptr && strUser[0] != 0)
        {
            return WBEM_E_LOCAL_CREDENTIALS;
        }
        if (!SameName(*name, u"ROOT\\CIMV2"))
        {
            return WBEM_E_INVALID_NAMESPACE;
        }
        *ppNamespace = new Services();
        return WBEM_S_NO_ERROR;
    }
};

} // namespace

HRESULT CreateWbemLocator(REFIID riid, void** object)
{
    auto* locator = new Locator();
    HRESULT hr = locator->QueryInterface(riid, object);
    locator->Release();
    return hr;
}

} // namespace winsim::user

long winsim::LiveWmiObjects()
{
    return winsim::user::g_liveObjects.load();
}
