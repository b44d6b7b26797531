#include "tracefmt.h"

#include "unicode.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace winsim
{
namespace
{

constexpr std::string_view kTmfMagic = "#winsim-tmf 1";

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

void SetError(std::string* error, std::string text)
{
    if (error != nullptr)
    {
        *error = std::move(text);
    }
}

std::optional<uint32_t> ParseDecimal(std::string_view text)
{
    if (text.empty() || text.size() > 10)
    {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
        {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu)
    {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

// ---- Rendering --------------------------------------------------------------------------------

template <typename... Args>
std::string Printf(const std::string& pattern, Args... args)
{
    char small[128];
    int n = snprintf(small, sizeof(small), pattern.c_str(), args...);
    if (n < 0)
    {
        return {};
    }
    if (static_cast<size_t>(n) < sizeof(small))
    {
        return std::string(small, static_cast<size_t>(n));
    }
    std::string out(static_cast<size_t>(n) + 1, '\0');
    snprintf(out.data(), out.size(), pattern.c_str(), args...);
    out.resize(static_cast<size_t>(n));
    return out;
}

// Pads UTF-8 text that counts `units` characters to the conversion's width.
std::string Pad(std::string text, size_t units, const FormatPiece& piece, int width)
{
    if (width > 0 && units < static_cast<size_t>(width))
    {
        const std::string fill(static_cast<size_t>(width) - units, ' ');
        if (piece.flags.find('-') != std::string::npos)
        {
            text += fill;
        }
        else
        {
            text.insert(0, fill);
        }
    }
    return text;
}

uint64_t LittleEndian(std::span<const uint8_t> blob)
{
    uint64_t value = 0;
    for (size_t i = 0; i < blob.size() && i < 8; ++i)
    {
        value |= static_cast<uint64_t>(blob[i]) << (8 * i);
    }
    return value;
}

bool IsWideChar(const FormatPiece& p)
{
    return p.type == 'C' || (p.type == 'c' && (p.size == "l" || p.size == "w"));
}

bool IsWideString(const FormatPiece& p)
{
    if (p.type == 'S')
    {
        return p.size != "h";
    }
    return p.type == 's' && (p.size == "l" || p.size == "w");
}

// Sizes of the integer blob a conversion accepts; empty when the size prefix does not apply.
std::vector<size_t> IntegerSizes(const std::string& size)
{
    if (size.empty() || size == "l" || size == "I32" || size == "w")
    {
        return {4};
    }
    if (size == "h")
    {
        return {2, 4};
    }
    if (size == "hh")
    {
        return {1, 4};
    }
    if (size == "ll" || size == "I64" || size == "L" || size == "I" || size == "z" || size == "t" ||
        size == "j")
    {
        return {8};
    }
    return {};
}

bool SizeIn(size_t size, const std::vector<size_t>& allowed)
{
    for (size_t a : allowed)
    {
        if (a == size)
        {
            return true;
        }
    }
    return false;
}

std::string IntegerText(const FormatPiece& p, std::span<const uint8_t> blob, int width, int precision)
{
    const std::vector<size_t> sizes = IntegerSizes(p.size);
    if (!SizeIn(blob.size(), sizes))
    {
        return HexBlob(blob);
    }
    // The value has the width of the conversion: a 4-byte blob for "%hd" is a promoted short.
    size_t bits = 8 * blob.size();
    if (p.size == "h")
    {
        bits = 16;
    }
    else if (p.size == "hh")
    {
        bits = 8;
    }
    uint64_t value = LittleEndian(blob);
    if (bits < 64)
    {
        value &= (uint64_t{1} << bits) - 1;
    }
    std::string pattern = "%" + p.flags;
    if (width >= 0)
    {
        pattern += std::to_string(width);
    }
    if (precision >= 0)
    {
        pattern += "." + std::to_string(precision);
    }
    pattern += "ll";
    pattern += p.type;
    if (p.type == 'd' || p.type == 'i')
    {
        int64_t signedValue = static_cast<int64_t>(value);
        if (bits < 64 && (value >> (bits - 1)) != 0)
        {
            signedValue = static_cast<int64_t>(value | ~((uint64_t{1} << bits) - 1));
        }
        return Printf(pattern, static_cast<long long>(signedValue));
    }
    return Printf(pattern, static_cast<unsigned long long>(value));
}

std::string NarrowText(const FormatPiece& p, std::span<const uint8_t> blob, int width, int precision)
{
    const char* chars = reinterpret_cast<const char*>(blob.data());
    size_t length = strnlen(chars, blob.size());
    if (precision >= 0 && static_cast<size_t>(precision) < length)
    {
        length = static_cast<size_t>(precision);
    }
    return Pad(std::string(chars, length), length, p, width);
}

std::string WideText(const FormatPiece& p, std::span<const uint8_t> blob, int width, int precision)
{
    if (blob.size() % 2 != 0)
    {
        return HexBlob(blob);
    }
    std::u16string text;
    for (size_t i = 0; i < blob.size(); i += 2)
    {
        const char16_t unit = static_cast<char16_t>(blob[i] | (blob[i + 1] << 8));
        if (unit == 0)
        {
            break;
        }
        text.push_back(unit);
    }
    if (precision >= 0 && static_cast<size_t>(precision) < text.size())
    {
        text.resize(static_cast<size_t>(precision));
    }
    return Pad(ToUtf8(text), text.size(), p, width);
}

std::string CharText(const FormatPiece& p, std::span<const uint8_t> blob, int width)
{
    if (IsWideChar(p))
    {
        if (blob.size() != 2 && blob.size() != 4)
        {
            return HexBlob(blob);
        }
        const std::u16string unit(1, static_cast<char16_t>(blob[0] | (blob[1] << 8)));
        return Pad(ToUtf8(unit), 1, p, width);
    }
    if (blob.size() != 1 && blob.size() != 4)
    {
        return HexBlob(blob);
    }
    return Pad(std::string(1, static_cast<char>(blob[0])), 1, p, width);
}

std::string FloatText(const FormatPiece& p, std::span<const uint8_t> blob, int width, int precision)
{
    if (blob.size() != 8 || !(p.size.empty() || p.size == "l" || p.size == "L"))
    {
        return HexBlob(blob);
    }
    double value;
    memcpy(&value, blob.data(), sizeof(value));
    std::string pattern = "%" + p.flags;
    if (width >= 0)
    {
        pattern += std::to_string(width);
    }
    if (precision >= 0)
    {
        pattern += "." + std::to_string(precision);
    }
    pattern += p.type;
    return Printf(pattern, value);
}

std::string ConversionText(const FormatPiece& p, std::span<const uint8_t> blob, int width, int precision)
{
    switch (p.type)
    {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        return IntegerText(p, blob, width, precision);
    case 'c':
    case 'C':
        return CharText(p, blob, width);
    case 's':
    case 'S':
    case 'Z':
        if (IsWideString(p) || (p.type == 'Z' && p.size == "w"))
        {
            return WideText(p, blob, width, precision);
        }
        return NarrowText(p, blob, width, precision);
    case 'p':
        if (blob.size() != 8)
        {
            return HexBlob(blob);
        }
        {
            const std::string digits =
                Printf(std::string("%016llX"), static_cast<unsigned long long>(LittleEndian(blob)));
            return Pad(digits, digits.size(), p, width);
        }
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        return FloatText(p, blob, width, precision);
    default:
        // %n and the %!NAME! extensions have no reading here.
        return HexBlob(blob);
    }
}

} // namespace

std::string FormatGuid(const TraceGuid& guid)
{
    char text[40];
    snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
             guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::optional<TraceGuid> ParseGuid(std::string_view text)
{
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
    {
        text = text.substr(1, 36);
    }
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
    {
        return std::nullopt;
    }
    uint8_t bytes[16];
    size_t n = 0;
    for (size_t i = 0; i < text.size(); i += 2)
    {
        if (text[i] == '-')
        {
            --i;
            continue;
        }
        const int high = HexDigit(text[i]);
        const int low = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        if (high < 0 || low < 0 || n == 16)
        {
            return std::nullopt;
        }
        bytes[n++] = static_cast<uint8_t>(high * 16 + low);
    }
    if (n != 16)
    {
        return std::nullopt;
    }
    TraceGuid guid;
    guid.Data1 =
        (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    guid.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    memcpy(guid.Data4, bytes + 8, 8);
    return guid;
}

std::vector<FormatPiece> ParseTraceFormat(std::string_view format)
{
    std::vector<FormatPiece> pieces;
    auto literal = [&](std::string_view text) {
        if (text.empty())
        {
            return;
        }
        if (pieces.empty() || pieces.back().conversion)
        {
            pieces.push_back(FormatPiece{});
        }
        pieces.back().text += text;
    };

    size_t i = 0;
    while (i < format.size())
    {
        const size_t percent = format.find('%', i);
        if (percent == std::string_view::npos)
        {
            literal(format.substr(i));
            break;
        }
        literal(format.substr(i, percent - i));
        if (percent + 1 < format.size() && format[percent + 1] == '%')
        {
            literal("%");
            i = percent + 2;
            continue;
        }

        FormatPiece piece;
        piece.conversion = true;
        size_t j = percent + 1;
        auto at = [&](size_t k) { return k < format.size() ? format[k] : '\0'; };
        bool valid = false;
        if (at(j) == '!')
        {
            const size_t close = format.find('!', j + 1);
            if (close != std::string_view::npos && close > j + 1)
            {
                piece.type = '!';
                piece.extension = std::string(format.substr(j + 1, close - j - 1));
                j = close + 1;
                valid = true;
            }
        }
        else
        {
            while (strchr("-+ 0#", at(j)) != nullptr && at(j) != '\0')
            {
                piece.flags += at(j++);
            }
            if (at(j) == '*')
            {
                piece.widthArgument = true;
                ++j;
            }
            else
            {
                while (at(j) >= '0' && at(j) <= '9')
                {
                    piece.width = (piece.width < 0 ? 0 : piece.width * 10) + (at(j++) - '0');
                    if (piece.width > 4096)
                    {
                        piece.width = 4096;
                    }
                }
            }
            if (at(j) == '.')
            {
                ++j;
                piece.precision = 0;
                if (at(j) == '*')
                {
                    piece.precisionArgument = true;
                    piece.precision = -1;
                    ++j;
                }
                else
                {
                    while (at(j) >= '0' && at(j) <= '9')
                    {
                        piece.precision = piece.precision * 10 + (at(j++) - '0');
                        if (piece.precision > 4096)
                        {
                            piece.precision = 4096;
                        }
                    }
                }
            }
            static const char* const kSizes[] = {"I64", "I32", "hh", "ll", "h", "l",
                                                 "L",   "w",   "I",  "z",  "t", "j"};
            for (const char* size : kSizes)
            {
                if (format.substr(j).starts_with(size))
                {
                    piece.size = size;
                    j += strlen(size);
                    break;
                }
            }
            const char type = at(j);
            if (type != '\0' && strchr("diuxXocCsSZpeEfFgGaAn", type) != nullptr)
            {
                piece.type = type;
                ++j;
                valid = true;
                if ((type == 'd' || type == 'i' || type == 'u' || type == 'x' || type == 'X' ||
                     type == 'o') &&
                    IntegerSizes(piece.size).empty())
                {
                    valid = false;
                }
            }
        }
        if (!valid)
        {
            // Not a conversion: the '%' stands for itself.
            literal("%");
            i = percent + 1;
            continue;
        }
        piece.text = std::string(format.substr(percent, j - percent));
        pieces.push_back(std::move(piece));
        i = j;
    }
    return pieces;
}

size_t CountTraceArguments(std::string_view format)
{
    size_t count = 0;
    for (const FormatPiece& piece : ParseTraceFormat(format))
    {
        count += piece.Arguments();
    }
    return count;
}

std::string EscapeTmfField(std::string_view text)
{
    std::string out;
    for (char c : text)
    {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\')
        {
            out += "\\\\";
        }
        else if (c == '\t')
        {
            out += "\\t";
        }
        else if (c == '\n')
        {
            out += "\\n";
        }
        else if (c == '\r')
        {
            out += "\\r";
        }
        else if (u < 0x20 || u == 0x7F)
        {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", u);
            out += hex;
        }
        else
        {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> UnescapeTmfField(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != '\\')
        {
            out += text[i];
            continue;
        }
        if (++i == text.size())
        {
            return std::nullopt;
        }
        switch (text[i])
        {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 'x': {
            if (i + 2 >= text.size())
            {
                return std::nullopt;
            }
            const int high = HexDigit(text[i + 1]);
            const int low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0)
            {
                return std::nullopt;
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

int TraceLevelValue(std::string_view level)
{
    static const std::pair<std::string_view, int> kNames[] = {
        {"TRACE_LEVEL_NONE", 0},    {"TRACE_LEVEL_CRITICAL", 1}, {"TRACE_LEVEL_FATAL", 1},
        {"TRACE_LEVEL_ERROR", 2},   {"TRACE_LEVEL_WARNING", 3},  {"TRACE_LEVEL_INFORMATION", 4},
        {"TRACE_LEVEL_VERBOSE", 5},
    };
    for (const auto& [name, value] : kNames)
    {
        if (level == name)
        {
            return value;
        }
    }
    if (level.size() > 2 && level[0] == '0' && (level[1] == 'x' || level[1] == 'X'))
    {
        int value = 0;
        for (char c : level.substr(2))
        {
            const int digit = HexDigit(c);
            if (digit < 0 || value > 0xFFFF)
            {
                return -1;
            }
            value = value * 16 + digit;
        }
        return value;
    }
    const std::optional<uint32_t> value = ParseDecimal(level);
    return value && *value <= 0xFFFF ? static_cast<int>(*value) : -1;
}

std::string HexBlob(std::span<const uint8_t> bytes)
{
    std::string out = "[";
    char hex[4];
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        snprintf(hex, sizeof(hex), "%02x", bytes[i]);
        if (i != 0)
        {
            out += ' ';
        }
        out += hex;
    }
    out += ']';
    return out;
}

std::string RenderTraceFormat(std::string_view format, std::span<const std::vector<uint8_t>> arguments)
{
    std::string out;
    size_t next = 0;
    auto take = [&]() -> const std::vector<uint8_t>* {
        return next < arguments.size() ? &arguments[next++] : nullptr;
    };
    // A '*' width or precision: a 4-byte int, else as if absent.
    auto takeInt = [&]() -> std::optional<int> {
        const std::vector<uint8_t>* blob = take();
        if (blob == nullptr || blob->size() != 4)
        {
            return std::nullopt;
        }
        return static_cast<int>(static_cast<int32_t>(LittleEndian(*blob)));
    };

    for (const FormatPiece& piece : ParseTraceFormat(format))
    {
        if (!piece.conversion)
        {
            out += piece.text;
            continue;
        }
        int width = piece.width;
        int precision = piece.precision;
        FormatPiece effective = piece;
        if (piece.widthArgument)
        {
            const std::optional<int> value = takeInt();
            width = value.value_or(-1);
            if (value && *value < 0)
            {
                // A negative '*' width left-aligns, as in printf.
                effective.flags += '-';
                width = *value == INT32_MIN ? 4096 : -*value;
            }
            if (width > 4096)
            {
                width = 4096;
            }
        }
        if (piece.precisionArgument)
        {
            const std::optional<int> value = takeInt();
            precision = value && *value >= 0 ? std::min(*value, 4096) : -1;
        }
        const std::vector<uint8_t>* blob = take();
        if (blob == nullptr)
        {
            out += "<missing>";
            continue;
        }
        out += ConversionText(effective, *blob, width, precision);
    }
    return out;
}

std::optional<TraceFormats> TraceFormats::Parse(std::string_view text, std::string_view origin,
                                                std::string* error)
{
    TraceFormats formats;
    size_t lineNumber = 0;
    bool sawMagic = false;
    size_t at = 0;
    while (at < text.size())
    {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
        {
            end = text.size();
        }
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
        {
            line.remove_suffix(1);
        }
        auto fail = [&](const std::string& what) -> std::optional<TraceFormats> {
            SetError(error, std::string(origin) + ":" + std::to_string(lineNumber) + ": " + what);
            return std::nullopt;
        };
        if (!sawMagic)
        {
            if (line != kTmfMagic)
            {
                return fail("not a trace format file (the first line must be \"" + std::string(kTmfMagic) +
                            "\")");
            }
            sawMagic = true;
            continue;
        }
        if (line.empty() || line.front() == '#')
        {
            continue;
        }
        std::vector<std::string_view> fields;
        size_t start = 0;
        while (true)
        {
            const size_t tab = line.find('\t', start);
            fields.push_back(
                line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
            if (tab == std::string_view::npos)
            {
                break;
            }
            start = tab + 1;
        }
        if (fields.size() != 7)
        {
            return fail("expected 7 tab-separated fields, found " + std::to_string(fields.size()));
        }
        TraceFormatEntry entry;
        const std::optional<TraceGuid> guid = ParseGuid(fields[0]);
        const std::optional<uint32_t> number = ParseDecimal(fields[1]);
        const std::optional<uint32_t> sourceLine = ParseDecimal(fields[5]);
        if (!guid)
        {
            return fail("bad message GUID");
        }
        if (!number || !sourceLine)
        {
            return fail("bad message number or line");
        }
        std::optional<std::string> level = UnescapeTmfField(fields[2]);
        std::optional<std::string> flag = UnescapeTmfField(fields[3]);
        std::optional<std::string> file = UnescapeTmfField(fields[4]);
        std::optional<std::string> format = UnescapeTmfField(fields[6]);
        if (!level || !flag || !file || !format)
        {
            return fail("bad escape sequence");
        }
        entry.guid = *guid;
        entry.number = *number;
        entry.level = std::move(*level);
        entry.flag = std::move(*flag);
        entry.file = std::move(*file);
        entry.line = *sourceLine;
        entry.format = std::move(*format);
        const auto key = std::make_pair(entry.guid, entry.number);
        if (formats.m_entries.count(key) != 0)
        {
            return fail("message " + FormatGuid(entry.guid) + " " + std::to_string(entry.number) +
                        " appears twice");
        }
        formats.m_entries.emplace(key, std::move(entry));
    }
    if (!sawMagic)
    {
        SetError(error, std::string(origin) + ": empty trace format file");
        return std::nullopt;
    }
    return formats;
}

std::optional<TraceFormats> TraceFormats::Load(const std::string& path, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        SetError(error, path + ": cannot open the file");
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return Parse(text.str(), path, error);
}

std::string TraceFormats::Write(std::span<const TraceFormatEntry> entries)
{
    std::string out;
    out += kTmfMagic;
    out += "\n"
           "# Trace message formats, written by winsim-wpp. Do not edit.\n"
           "#\n"
           "# Each line below describes one trace point as seven tab-separated fields:\n"
           "#   1 message GUID of the source module (xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx)\n"
           "#   2 message number, the __LINE__ the compiler gives the trace point\n"
           "#   3 level and 4 flag, as written at the trace point\n"
           "#   5 source file name and 6 line of the trace point\n"
           "#   7 format string, adjacent literals joined and escape sequences resolved\n"
           "# Text fields are escaped: \\\\ backslash, \\t tab, \\n line feed, \\r carriage return,\n"
           "# \\xHH any other byte below 0x20 and 0x7F; other bytes (UTF-8 text) stand as they are.\n";
    for (const TraceFormatEntry& entry : entries)
    {
        out += FormatGuid(entry.guid);
        out += '\t' + std::to_string(entry.number);
        out += '\t' + EscapeTmfField(entry.level);
        out += '\t' + EscapeTmfField(entry.flag);
        out += '\t' + EscapeTmfField(entry.file);
        out += '\t' + std::to_string(entry.line);
        out += '\t' + EscapeTmfField(entry.format);
        out += '\n';
    }
    return out;
}

void TraceFormats::Merge(const TraceFormats& other)
{
    for (const auto& [key, entry] : other.m_entries)
    {
        m_entries.insert_or_assign(key, entry);
    }
}

const TraceFormatEntry* TraceFormats::Find(const TraceGuid& guid, uint32_t number) const
{
    const auto it = m_entries.find(std::make_pair(guid, number));
    return it == m_entries.end() ? nullptr : &it->second;
}

RenderedTrace TraceFormats::Render(const TraceMessage& message) const
{
    RenderedTrace rendered;
    const TraceFormatEntry* entry = Find(message.guid, message.number);
    if (entry == nullptr)
    {
        rendered.text = "Unknown( " + FormatGuid(message.guid) + " " + std::to_string(message.number) + " )";
        for (const std::vector<uint8_t>& argument : message.arguments)
        {
            rendered.text += " " + HexBlob(argument);
        }
        return rendered;
    }
    rendered.known = true;
    rendered.text = RenderTraceFormat(entry->format, message.arguments);
    rendered.level = entry->level;
    rendered.levelValue = TraceLevelValue(entry->level);
    rendered.flag = entry->flag;
    rendered.file = entry->file;
    rendered.line = entry->line;
    return rendered;
}

} // namespace winsim
