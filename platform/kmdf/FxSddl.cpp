// Parsing of the SDDL subset device objects take.
#include "FxSddl.h"

namespace winsim::wdf
{

namespace
{

struct Right
{
    char16_t code[3];
    ACCESS_MASK mask;
};

constexpr Right kRights[] = {
    {u"GA", GENERIC_ALL},  {u"GR", GENERIC_READ}, {u"GW", GENERIC_WRITE}, {u"GX", GENERIC_EXECUTE},
    {u"RC", READ_CONTROL}, {u"SD", DELETE},       {u"WD", WRITE_DAC},     {u"WO", WRITE_OWNER},
};

// The SIDs the subset names by abbreviation: accounts, groups, authentication, logon, and the
// special ones (restricted code, user-mode drivers).
constexpr std::u16string_view kSids[] = {u"SY", u"LS", u"NS", u"BA", u"BU", u"BG", u"AU",
                                         u"AN", u"IU", u"NU", u"WD", u"RC", u"UD"};

bool IsDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

int HexDigit(char16_t c)
{
    if (IsDigit(c))
    {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f')
    {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F')
    {
        return c - u'A' + 10;
    }
    return -1;
}

std::optional<ACCESS_MASK> ParseAccess(std::u16string_view text)
{
    if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X'))
    {
        ULONGLONG value = 0;
        for (char16_t c : text.substr(2))
        {
            int digit = HexDigit(c);
            if (digit < 0)
            {
                return std::nullopt;
            }
            value = value * 16 + static_cast<ULONGLONG>(digit);
            if (value > 0xFFFFFFFFull)
            {
                return std::nullopt;
            }
        }
        return static_cast<ACCESS_MASK>(value);
    }
    if (text.empty() || text.size() % 2 != 0)
    {
        return std::nullopt;
    }
    ACCESS_MASK mask = 0;
    for (size_t i = 0; i < text.size(); i += 2)
    {
        std::u16string_view code = text.substr(i, 2);
        bool known = false;
        for (const Right& right : kRights)
        {
            if (code == right.code)
            {
                mask |= right.mask;
                known = true;
            }
        }
        if (!known)
        {
            return std::nullopt;
        }
    }
    return mask;
}

// "S-1-<authority>-<subauthority>..." with at least one subauthority.
bool IsNumericSid(std::u16string_view text)
{
    if (text.substr(0, 4) != u"S-1-")
    {
        return false;
    }
    size_t parts = 0;
    size_t digits = 0;
    for (char16_t c : text.substr(4))
    {
        if (IsDigit(c))
        {
            ++digits;
        }
        else if (c == u'-' && digits > 0)
        {
            ++parts;
            digits = 0;
        }
        else
        {
            return false;
        }
    }
    return digits > 0 && parts >= 1;
}

bool IsSid(std::u16string_view text)
{
    for (std::u16string_view sid : kSids)
    {
        if (text == sid)
        {
            return true;
        }
    }
    return IsNumericSid(text);
}

// One entry, the text between its parentheses: type;flags;rights;object;inherited object;SID.
std::optional<FxSddlAce> ParseAce(std::u16string_view text)
{
    std::vector<std::u16string_view> fields;
    size_t start = 0;
    for (;;)
    {
        size_t end = text.find(u';', start);
        fields.push_back(text.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (end == std::u16string_view::npos)
        {
            break;
        }
        start = end + 1;
    }
    if (fields.size() != 6 || fields[0] != u"A" || !fields[1].empty() || !fields[3].empty() ||
        !fields[4].empty() || !IsSid(fields[5]))
    {
        return std::nullopt;
    }
    std::optional<ACCESS_MASK> access = ParseAccess(fields[2]);
    if (!access)
    {
        return std::nullopt;
    }
    return FxSddlAce{*access, std::u16string(fields[5])};
}

} // namespace

std::optional<std::vector<FxSddlAce>> ParseDeviceSddl(std::u16string_view text)
{
    constexpr std::u16string_view prefix = u"D:P";
    if (text.substr(0, prefix.size()) != prefix)
    {
        return std::nullopt;
    }
    std::vector<FxSddlAce> aces;
    size_t position = prefix.size();
    while (position < text.size())
    {
        if (text[position] != u'(')
        {
            return std::nullopt;
        }
        size_t close = text.find(u')', position);
        if (close == std::u16string_view::npos)
        {
            return std::nullopt;
        }
        std::optional<FxSddlAce> ace = ParseAce(text.substr(position + 1, close - position - 1));
        if (!ace)
        {
            return std::nullopt;
        }
        aces.push_back(*ace);
        position = close + 1;
    }
    return aces;
}

} // namespace winsim::wdf
