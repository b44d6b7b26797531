// The framework string (WDFSTRING), and the conversions between counted strings and text that
// the framework uses.
#pragma once

#include "FxObject.h"

#include <optional>
#include <string>

namespace winsim::wdf
{

class FxString : public FxObject
{
  public:
    explicit FxString(FxDriver* driver) : FxObject(FxType::String, driver) {}
    void Assign(const char16_t* text, size_t length);
    void Get(PUNICODE_STRING target);

  private:
    std::u16string m_text;
};

// A counted string as text; no string (or no buffer) is empty text.
std::u16string Text(PCUNICODE_STRING text);
// A counted string as text; no string (NULL) is no text, which clears a setting.
std::optional<std::u16string> OptionalText(PCUNICODE_STRING text);

} // namespace winsim::wdf
