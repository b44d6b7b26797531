// Framework strings and WdfString*.
#include "FxString.h"

#include "FxDriver.h"

namespace winsim::wdf
{

void FxString::Assign(const char16_t* text, size_t length)
{
    m_text.assign(text, length);
}

void FxString::Get(PUNICODE_STRING target)
{
    target->Buffer = reinterpret_cast<PWCH>(m_text.data());
    target->Length = static_cast<USHORT>(m_text.size() * sizeof(WCHAR));
    target->MaximumLength = target->Length;
}

std::u16string Text(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr)
    {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

std::optional<std::u16string> OptionalText(PCUNICODE_STRING text)
{
    if (text == nullptr)
    {
        return std::nullopt;
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    NTSTATUS imp_WdfStringCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PCUNICODE_STRING UnicodeString,
                                 PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfStringCreate");
        FxDriver* driver = FxDriver::FromGlobals(DriverGlobals, "WdfStringCreate");
        auto* string = new FxString(driver);
        if (UnicodeString != nullptr && UnicodeString->Buffer != nullptr)
        {
            string->Assign(reinterpret_cast<const char16_t*>(UnicodeString->Buffer),
                           UnicodeString->Length / sizeof(WCHAR));
        }
        NTSTATUS status = Publish(string, StringAttributes, driver, "WdfStringCreate");
        if (NT_SUCCESS(status))
        {
            *String = reinterpret_cast<WDFSTRING>(string->Handle());
        }
        return status;
    }

    VOID imp_WdfStringGetUnicodeString(PWDF_DRIVER_GLOBALS, WDFSTRING String, PUNICODE_STRING UnicodeString)
    {
        FxObject::Get<FxString>(String, FxType::String, "WdfStringGetUnicodeString")->Get(UnicodeString);
    }

} // extern "C"
