// Private profile (.ini) files, read-only.
//
// Sections and keys are compared without regard to case; the first matching section and the first
// matching key in it win. Values lose surrounding blanks and one pair of enclosing quotes. A file
// name without a folder names a file of the Windows folder, which this machine does not have.
#include "internal.h"

#include "base/unicode.h"

#include <stdio.h>
#include <string.h>

#include <vector>

namespace winsim::user
{
namespace
{

struct Entry
{
    std::string key;
    std::string value;
};

struct Section
{
    std::string name;
    std::vector<Entry> entries;
};

std::string Trim(std::string_view text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t' || text[begin] == '\r'))
    {
        ++begin;
    }
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r'))
    {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

bool ReadProfile(LPCSTR fileName, std::vector<Section>& sections)
{
    if (fileName == nullptr || strpbrk(fileName, "\\/") == nullptr)
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    std::string host;
    if (!HostPathOf(fileName, host))
    {
        return false;
    }
    FILE* f = fopen(host.c_str(), "rb");
    if (f == nullptr)
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    std::string content;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
    {
        content.append(buffer, n);
    }
    fclose(f);
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0)
    {
        content.erase(0, 3);
    }
    Section* current = nullptr;
    size_t pos = 0;
    while (pos <= content.size())
    {
        size_t eol = content.find('\n', pos);
        if (eol == std::string::npos)
        {
            eol = content.size();
        }
        std::string line = Trim(std::string_view(content).substr(pos, eol - pos));
        pos = eol + 1;
        if (line.empty() || line[0] == ';')
        {
            continue;
        }
        if (line[0] == '[')
        {
            size_t close = line.find(']');
            std::string name =
                Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            sections.push_back(Section{name, {}});
            current = &sections.back();
            continue;
        }
        if (current == nullptr)
        {
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos)
        {
            current->entries.push_back(Entry{line, ""});
        }
        else
        {
            current->entries.push_back(Entry{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
        }
    }
    return true;
}

// Copies one string, truncated to the buffer as GetPrivateProfileString does.
DWORD CopyValue(const std::string& value, LPSTR buffer, DWORD size)
{
    size_t length = value.size();
    if (length >= size)
    {
        length = size - 1;
    }
    memcpy(buffer, value.data(), length);
    buffer[length] = 0;
    return static_cast<DWORD>(length);
}

// Copies a list of strings, each ending in a NUL and the list in a second NUL. A list that does
// not fit is cut at size - 2 characters and still ends in two NULs.
DWORD CopyList(const std::vector<std::string>& items, LPSTR buffer, DWORD size)
{
    std::string list;
    for (const std::string& item : items)
    {
        list += item;
        list.push_back(0);
    }
    if (list.size() + 1 <= size)
    {
        memcpy(buffer, list.data(), list.size());
        buffer[list.size()] = 0;
        return static_cast<DWORD>(list.size() == 0 ? 0 : list.size());
    }
    if (size < 2)
    {
        buffer[0] = 0;
        return 0;
    }
    memcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = 0;
    buffer[size - 1] = 0;
    return size - 2;
}

std::string Unquote(const std::string& value)
{
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
    {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                          LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName)
    {
        if (lpReturnedString == nullptr || nSize == 0)
        {
            return 0;
        }
        std::vector<Section> sections;
        bool found = ReadProfile(lpFileName, sections);
        if (lpAppName == nullptr)
        {
            std::vector<std::string> names;
            for (const Section& s : sections)
            {
                names.push_back(s.name);
            }
            return CopyList(names, lpReturnedString, nSize);
        }
        const Section* section = nullptr;
        for (const Section& s : sections)
        {
            if (winsim::EqualsNoCase(s.name, lpAppName))
            {
                section = &s;
                break;
            }
        }
        if (lpKeyName == nullptr)
        {
            std::vector<std::string> keys;
            if (section != nullptr)
            {
                for (const Entry& e : section->entries)
                {
                    keys.push_back(e.key);
                }
            }
            return CopyList(keys, lpReturnedString, nSize);
        }
        if (section != nullptr)
        {
            for (const Entry& e : section->entries)
            {
                if (winsim::EqualsNoCase(e.key, lpKeyName))
                {
                    SetLastError(ERROR_SUCCESS);
                    return CopyValue(Unquote(e.value), lpReturnedString, nSize);
                }
            }
        }
        if (found)
        {
            SetLastError(ERROR_FILE_NOT_FOUND);
        }
        // The default loses its trailing blanks.
        std::string fallback = lpDefault != nullptr ? lpDefault : "";
        while (!fallback.empty() && fallback.back() == ' ')
        {
            fallback.pop_back();
        }
        return CopyValue(fallback, lpReturnedString, nSize);
    }

    UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName)
    {
        char buffer[30];
        if (GetPrivateProfileStringA(lpAppName, lpKeyName, "", buffer, sizeof(buffer), lpFileName) == 0)
        {
            return static_cast<UINT>(nDefault);
        }
        // Converted like RtlCharToInteger with base 0: blanks, a sign, an optional 0x/0o/0b prefix,
        // then digits up to the first character that is not one.
        const char* p = buffer;
        while (*p != 0 && static_cast<unsigned char>(*p) <= ' ')
        {
            ++p;
        }
        bool negative = false;
        if (*p == '+' || *p == '-')
        {
            negative = *p == '-';
            ++p;
        }
        unsigned base = 10;
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        {
            base = 16;
            p += 2;
        }
        else if (p[0] == '0' && (p[1] == 'o' || p[1] == 'O'))
        {
            base = 8;
            p += 2;
        }
        else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B'))
        {
            base = 2;
            p += 2;
        }
        UINT value = 0;
        for (;; ++p)
        {
            unsigned digit;
            if (*p >= '0' && *p <= '9')
            {
                digit = static_cast<unsigned>(*p - '0');
            }
            else if (*p >= 'a' && *p <= 'f')
            {
                digit = static_cast<unsigned>(*p - 'a' + 10);
            }
            else if (*p >= 'A' && *p <= 'F')
            {
                digit = static_cast<unsigned>(*p - 'A' + 10);
            }
            else
            {
                break;
            }
            if (digit >= base)
            {
                break;
            }
            value = value * base + digit;
        }
        return negative ? 0u - value : value;
    }

} // extern "C"
