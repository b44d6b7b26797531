// Registry editor files (.reg): import of "Windows Registry Editor Version 5.00" and "REGEDIT4"
// files and export in the format the registry editor writes.
#include "RegFile.h"

#include "base/unicode.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace winsim::machine
{

using kernel::NormalizeRegistryPath;
using kernel::Registry;
using kernel::RegistryKey;
using kernel::RegistryValue;

namespace
{

constexpr std::string_view Version5Header = "Windows Registry Editor Version 5.00";
constexpr std::string_view Version4Header = "REGEDIT4";

[[noreturn]] void Fail(size_t line, const std::string& what)
{
    throw std::runtime_error("line " + std::to_string(line) + ": " + what);
}

std::string_view TrimLeft(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view TrimRight(std::string_view text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    {
        text.remove_suffix(1);
    }
    return text;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

// A hexadecimal number of 1 to 8 digits, the whole of the text.
bool ParseHexNumber(std::string_view text, ULONG* value)
{
    if (text.empty() || text.size() > 8)
    {
        return false;
    }
    ULONG result = 0;
    for (char c : text)
    {
        int digit = HexDigit(c);
        if (digit < 0)
        {
            return false;
        }
        result = (result << 4) | static_cast<ULONG>(digit);
    }
    *value = result;
    return true;
}

// A quoted string with the registry editor's two escapes, \\ and \". On entry text starts at the
// opening quote; on return it starts after the closing one.
bool ParseQuoted(std::string_view& text, std::string* out)
{
    out->clear();
    size_t i = 1;
    while (i < text.size())
    {
        char c = text[i];
        if (c == '"')
        {
            text.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"'))
        {
            out->push_back(text[i + 1]);
            i += 2;
            continue;
        }
        out->push_back(c);
        ++i;
    }
    return false;
}

// Comma-separated bytes of one or two hex digits each; a trailing comma is allowed.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* bytes)
{
    bytes->clear();
    text = TrimRight(TrimLeft(text));
    while (!text.empty())
    {
        size_t comma = text.find(',');
        std::string_view item = TrimRight(TrimLeft(text.substr(0, comma)));
        ULONG value;
        if (item.size() > 2 || !ParseHexNumber(item, &value))
        {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(value));
        if (comma == std::string_view::npos)
        {
            break;
        }
        text = TrimLeft(text.substr(comma + 1));
    }
    return true;
}

std::vector<uint8_t> TextBytes(const std::u16string& text, bool terminate)
{
    std::vector<uint8_t> data((text.size() + (terminate ? 1 : 0)) * sizeof(char16_t), 0);
    if (!text.empty())
    {
        std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    }
    return data;
}

struct Line
{
    size_t number;
    std::string_view text;
};

std::vector<Line> SplitLines(std::string_view text)
{
    std::vector<Line> lines;
    size_t number = 1;
    while (true)
    {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
        {
            line.remove_suffix(1);
        }
        lines.push_back(Line{number++, line});
        if (end == std::string_view::npos)
        {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return lines;
}

// ---------------------------------------------------------------------------------------------
// Export

constexpr char HexDigits[] = "0123456789abcdef";

void AppendHexByte(std::u16string& out, uint8_t byte)
{
    out.push_back(static_cast<char16_t>(HexDigits[byte >> 4]));
    out.push_back(static_cast<char16_t>(HexDigits[byte & 0xF]));
}

std::u16string Ascii(std::string_view text)
{
    return std::u16string(text.begin(), text.end());
}

std::u16string Quote(std::u16string_view text)
{
    std::u16string out = u"\"";
    for (char16_t c : text)
    {
        if (c == u'\\' || c == u'"')
        {
            out.push_back(u'\\');
        }
        out.push_back(c);
    }
    out.push_back(u'"');
    return out;
}

// A REG_SZ is written as a quoted string only when that reads back to the same bytes: text with
// one terminating NUL and no line breaks or embedded NULs. Anything else is written as hex(1).
bool ExportsAsQuotedString(const RegistryValue& value, std::u16string* text)
{
    if (value.type != REG_SZ || value.data.size() < sizeof(char16_t) ||
        value.data.size() % sizeof(char16_t) != 0)
    {
        return false;
    }
    std::u16string all(value.data.size() / sizeof(char16_t), u'\0');
    std::memcpy(all.data(), value.data.data(), value.data.size());
    if (all.back() != u'\0')
    {
        return false;
    }
    all.pop_back();
    for (char16_t c : all)
    {
        if (c == u'\0' || c == u'\r' || c == u'\n')
        {
            return false;
        }
    }
    *text = std::move(all);
    return true;
}

// The registry editor's layout of hex data: bytes separated by commas, a line broken with "\"
// once it passes 76 columns, continuation lines indented by two spaces.
void AppendHexData(std::u16string& out, std::u16string line, const std::vector<uint8_t>& data)
{
    for (size_t i = 0; i < data.size(); ++i)
    {
        AppendHexByte(line, data[i]);
        if (i + 1 < data.size())
        {
            line.push_back(u',');
            if (line.size() > 76)
            {
                out += line;
                out += u"\\\n";
                line = u"  ";
            }
        }
    }
    out += line;
    out.push_back(u'\n');
}

void AppendValue(std::u16string& out, const RegistryValue& value)
{
    std::u16string line = value.name.empty() ? std::u16string(u"@") : Quote(value.name);
    line.push_back(u'=');
    std::u16string text;
    if (ExportsAsQuotedString(value, &text))
    {
        out += line + Quote(text) + u"\n";
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == sizeof(ULONG))
    {
        line += u"dword:";
        for (int i = 3; i >= 0; --i)
        {
            AppendHexByte(line, value.data[static_cast<size_t>(i)]);
        }
        out += line + u"\n";
        return;
    }
    if (value.type == REG_BINARY)
    {
        line += u"hex:";
    }
    else
    {
        char type[16];
        snprintf(type, sizeof(type), "hex(%x):", static_cast<unsigned>(value.type));
        line += Ascii(type);
    }
    AppendHexData(out, std::move(line), value.data);
}

// The registry editor's name for a key: HKEY_LOCAL_MACHINE\... or HKEY_USERS\...
std::u16string EditorPath(const std::u16string& ntPath)
{
    static const std::pair<std::u16string_view, std::u16string_view> roots[] = {
        {u"\\Registry\\Machine", u"HKEY_LOCAL_MACHINE"},
        {u"\\Registry\\User", u"HKEY_USERS"},
    };
    for (const auto& [nt, editor] : roots)
    {
        if (ntPath.size() >= nt.size() &&
            EqualsNoCase(std::u16string_view(ntPath).substr(0, nt.size()), nt) &&
            (ntPath.size() == nt.size() || ntPath[nt.size()] == u'\\'))
        {
            return std::u16string(editor) + ntPath.substr(nt.size());
        }
    }
    throw std::runtime_error("the key " + ToUtf8(ntPath) + " cannot be written to a registry editor file");
}

void AppendKey(std::u16string& out, const std::shared_ptr<RegistryKey>& key)
{
    out += u"[" + EditorPath(key->Path()) + u"]\n";
    for (const auto& value : key->Values())
    {
        AppendValue(out, value);
    }
    out += u"\n";
    for (const auto& name : key->SubkeyNames())
    {
        if (auto child = key->OpenSubkey(name))
        {
            AppendKey(out, child);
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Import

void ImportRegText(Registry& registry, std::string_view utf8Text)
{
    if (utf8Text.substr(0, 3) == "\xEF\xBB\xBF")
    {
        utf8Text.remove_prefix(3);
    }
    std::vector<Line> lines = SplitLines(utf8Text);

    size_t index = 0;
    while (index < lines.size() && TrimRight(TrimLeft(lines[index].text)).empty())
    {
        ++index;
    }
    if (index == lines.size())
    {
        Fail(1, "the file is empty; it must start with \"" + std::string(Version5Header) + "\"");
    }
    std::string_view header = TrimRight(lines[index].text);
    bool version4 = header == Version4Header;
    if (!version4 && header != Version5Header)
    {
        Fail(lines[index].number, "expected \"" + std::string(Version5Header) + "\" or \"" +
                                      std::string(Version4Header) + "\", found \"" + std::string(header) +
                                      "\"");
    }
    ++index;

    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> current;
    bool currentDeleted = false;

    for (; index < lines.size(); ++index)
    {
        const size_t number = lines[index].number;
        std::string_view text = TrimRight(TrimLeft(lines[index].text));
        if (text.empty() || text.front() == ';')
        {
            continue;
        }

        if (text.front() == '[')
        {
            if (text.back() != ']')
            {
                Fail(number, "a key line must end with ']'");
            }
            std::string_view name = text.substr(1, text.size() - 2);
            bool remove = !name.empty() && name.front() == '-';
            if (remove)
            {
                name.remove_prefix(1);
            }
            std::u16string path = NormalizeRegistryPath(ToUtf16(name));
            if (path.empty() || path == u"\\Registry")
            {
                Fail(number,
                     "\"" + std::string(name) + "\" is not a key of HKEY_LOCAL_MACHINE or HKEY_USERS");
            }
            if (remove)
            {
                registry.DeleteTree(path);
                current.reset();
                currentDeleted = true;
                continue;
            }
            current = registry.CreateKey(path);
            if (!current)
            {
                Fail(number, "cannot create the key \"" + std::string(name) + "\"");
            }
            currentDeleted = false;
            continue;
        }

        if (text.front() != '"' && text.front() != '@')
        {
            Fail(number, "expected a key in brackets or a value, found \"" + std::string(text) + "\"");
        }

        // The value's name.
        std::string name;
        if (text.front() == '@')
        {
            text.remove_prefix(1);
        }
        else if (!ParseQuoted(text, &name))
        {
            Fail(number, "the value name has no closing quote");
        }
        text = TrimLeft(text);
        if (text.empty() || text.front() != '=')
        {
            Fail(number, "expected '=' after the value name");
        }
        text = TrimLeft(text.substr(1));

        // The value's data.
        ULONG type = REG_NONE;
        std::vector<uint8_t> data;
        bool remove = false;
        if (text == "-")
        {
            remove = true;
        }
        else if (!text.empty() && text.front() == '"')
        {
            std::string value;
            if (!ParseQuoted(text, &value))
            {
                Fail(number, "the string has no closing quote");
            }
            if (!TrimLeft(text).empty())
            {
                Fail(number, "unexpected text after the string: \"" + std::string(TrimLeft(text)) + "\"");
            }
            type = REG_SZ;
            data = TextBytes(ToUtf16(value), true);
        }
        else if (text.substr(0, 6) == "dword:")
        {
            ULONG value;
            if (!ParseHexNumber(text.substr(6), &value))
            {
                Fail(number, "a dword needs 1 to 8 hexadecimal digits, found \"" +
                                 std::string(text.substr(6)) + "\"");
            }
            type = REG_DWORD;
            data.resize(sizeof(value));
            std::memcpy(data.data(), &value, sizeof(value));
        }
        else if (text.substr(0, 3) == "hex")
        {
            std::string_view rest = text.substr(3);
            if (rest.substr(0, 1) == ":")
            {
                type = REG_BINARY;
                rest.remove_prefix(1);
            }
            else if (rest.substr(0, 1) == "(")
            {
                size_t close = rest.find("):");
                if (close == std::string_view::npos || !ParseHexNumber(rest.substr(1, close - 1), &type))
                {
                    Fail(number, "expected hex(<type>): with a hexadecimal type");
                }
                rest.remove_prefix(close + 2);
            }
            else
            {
                Fail(number, "expected hex: or hex(<type>):");
            }
            // A line ending in a backslash continues on the next one.
            std::string joined(rest);
            while (!joined.empty() && joined.back() == '\\')
            {
                joined.pop_back();
                if (index + 1 >= lines.size())
                {
                    Fail(number, "the hex data continues past the end of the file");
                }
                ++index;
                std::string_view next = TrimRight(TrimLeft(lines[index].text));
                if (next.empty())
                {
                    Fail(number, "the hex data continues onto an empty line");
                }
                joined += next;
            }
            if (!ParseHexBytes(joined, &data))
            {
                Fail(number, "malformed hex data");
            }
            // A REGEDIT4 file holds the strings of hex(1), hex(2) and hex(7) in the ANSI code page.
            if (version4 && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ))
            {
                std::string ansi(data.begin(), data.end());
                data = TextBytes(ToUtf16(ansi), false);
            }
        }
        else
        {
            Fail(number, "unrecognised value data \"" + std::string(text) + "\"");
        }

        if (!current)
        {
            if (currentDeleted)
            {
                continue; // values after a [-key] line have nowhere to go, as in the registry editor
            }
            Fail(number, "a value before the first key");
        }
        std::u16string valueName = ToUtf16(name);
        if (remove)
        {
            current->DeleteValue(valueName);
        }
        else
        {
            current->SetValue(valueName, type, data.data(), data.size());
        }
    }
}

void ImportRegFile(Registry& registry, const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
    {
        throw std::runtime_error(file.string() + ": cannot be read");
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE)
    {
        std::u16string wide((bytes.size() - 2) / sizeof(char16_t), u'\0');
        std::memcpy(wide.data(), bytes.data() + 2, wide.size() * sizeof(char16_t));
        text = ToUtf8(wide);
    }
    else
    {
        text = std::move(bytes);
    }
    try
    {
        ImportRegText(registry, text);
    }
    catch (const std::runtime_error& error)
    {
        throw std::runtime_error(file.string() + ": " + error.what());
    }
}

// ---------------------------------------------------------------------------------------------
// Export

namespace
{

std::u16string ExportUtf16(const Registry& registry, std::u16string_view keyPath)
{
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key = registry.OpenKey(keyPath);
    if (!key)
    {
        throw std::runtime_error("no registry key " + ToUtf8(std::u16string(keyPath)));
    }
    std::u16string out = Ascii(Version5Header);
    out += u"\n\n";
    AppendKey(out, key);
    return out;
}

} // namespace

void ExportRegFile(const Registry& registry, const std::filesystem::path& file, std::u16string_view keyPath)
{
    std::u16string text = ExportUtf16(registry, keyPath);
    std::u16string crlf;
    crlf.reserve(text.size() + text.size() / 16);
    for (char16_t c : text)
    {
        if (c == u'\n')
        {
            crlf.push_back(u'\r');
        }
        crlf.push_back(c);
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
    {
        throw std::runtime_error(file.string() + ": cannot be written");
    }
    const char bom[2] = {static_cast<char>(0xFF), static_cast<char>(0xFE)};
    out.write(bom, sizeof(bom));
    // UTF-16LE: the machine is little-endian, so the code units go out as they are.
    out.write(reinterpret_cast<const char*>(crlf.data()),
              static_cast<std::streamsize>(crlf.size() * sizeof(char16_t)));
    if (!out)
    {
        throw std::runtime_error(file.string() + ": cannot be written");
    }
}

std::string ExportRegText(const Registry& registry, std::u16string_view keyPath)
{
    return ToUtf8(ExportUtf16(registry, keyPath));
}

} // namespace winsim::machine
