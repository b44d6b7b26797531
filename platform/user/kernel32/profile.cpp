// Profile (.ini) files: the private ones a program names, and win.ini, the profile of the Windows
// folder that GetProfileString and WriteProfileString use.
//
// Sections and keys are compared without regard to case; the first matching section and the first
// matching key in it win. Values lose surrounding blanks and one pair of enclosing quotes. A file
// name without a folder names a file of the Windows folder (C:\Windows).
//
// Writes change the file as a text editor would and leave every other byte as it was: a value
// replaces the rest of its key's line (the key keeps its spelling in the file), a new key goes after
// the last key of its section, a new section at the end of the file, and a deleted key or section
// takes its lines with it (a section's comments and blank lines included). New lines end the way
// the file's first line does (CR LF in a new file). Writes of one process are serialised; two
// processes writing one file at once may lose one of the writes, as nothing on this machine
// does that yet. See docs/port-names.md.
#include "internal.h"

#include "base/unicode.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <vector>

namespace winsim::user
{
namespace
{

constexpr char kWindowsFolder[] = "C:\\Windows\\";
constexpr char kWinIni[] = "win.ini";

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

// One line of a profile as the file holds it, its line break included.
struct Line
{
    enum Kind
    {
        Other, // blank, comment, or text before the first section
        Header,
        Key,
    };
    std::string text;
    Kind kind = Other;
    std::string name;  // the section's or the key's, trimmed
    std::string value; // a key's, trimmed
};

std::vector<Line> ParseLines(const std::string& content)
{
    std::vector<Line> lines;
    bool inSection = false;
    size_t pos = 0;
    while (pos < content.size())
    {
        size_t eol = content.find('\n', pos);
        size_t next = eol == std::string::npos ? content.size() : eol + 1;
        Line line;
        line.text = content.substr(pos, next - pos);
        pos = next;
        std::string trimmed = Trim(std::string_view(line.text).substr(0, line.text.find('\n')));
        if (!trimmed.empty() && trimmed[0] == '[')
        {
            size_t close = trimmed.find(']');
            line.kind = Line::Header;
            line.name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inSection = true;
        }
        else if (inSection && !trimmed.empty() && trimmed[0] != ';')
        {
            size_t equals = trimmed.find('=');
            line.kind = Line::Key;
            line.name = Trim(trimmed.substr(0, equals));
            line.value = equals == std::string::npos ? "" : Trim(trimmed.substr(equals + 1));
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// The host path of a profile: a name without a folder is a file of the Windows folder.
bool ProfilePath(LPCSTR fileName, std::string& host)
{
    if (fileName == nullptr)
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    std::string windowsPath = fileName;
    if (strpbrk(fileName, "\\/") == nullptr)
    {
        windowsPath = kWindowsFolder + windowsPath;
    }
    return HostPathOf(windowsPath.c_str(), host);
}

// The bytes of a host file; false (with errno) when it cannot be read.
bool ReadContent(const std::string& host, std::string& content)
{
    FILE* f = fopen(host.c_str(), "rb");
    if (f == nullptr)
    {
        return false;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
    {
        content.append(buffer, n);
    }
    fclose(f);
    return true;
}

bool ReadProfile(LPCSTR fileName, std::vector<Section>& sections)
{
    std::string host;
    if (!ProfilePath(fileName, host))
    {
        return false;
    }
    std::string content;
    if (!ReadContent(host, content))
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0)
    {
        content.erase(0, 3);
    }
    for (const Line& line : ParseLines(content))
    {
        if (line.kind == Line::Header)
        {
            sections.push_back(Section{line.name, {}});
        }
        else if (line.kind == Line::Key)
        {
            sections.back().entries.push_back(Entry{line.name, line.value});
        }
    }
    return true;
}

std::mutex& WriteLock()
{
    static auto* lock = new std::mutex; // never freed (see internal.h)
    return *lock;
}

// One change of a profile: sets a key (value given), deletes a key (no value) or deletes a
// section (no key). Returns the Win32 error, ERROR_SUCCESS when the file is as asked.
DWORD ChangeProfile(LPCSTR fileName, LPCSTR section, LPCSTR key, LPCSTR value)
{
    std::string host;
    if (!ProfilePath(fileName, host))
    {
        return GetLastError();
    }
    std::lock_guard<std::mutex> guard(WriteLock());
    std::string content;
    bool exists = ReadContent(host, content);
    if (!exists && errno != ENOENT)
    {
        return ErrorFromErrno(errno);
    }
    if (!exists && value == nullptr)
    {
        return ERROR_SUCCESS; // nothing to delete
    }
    std::vector<Line> lines = ParseLines(content);
    std::string newline = "\r\n";
    if (!lines.empty() && lines[0].text.back() == '\n')
    {
        newline =
            lines[0].text.size() >= 2 && lines[0].text[lines[0].text.size() - 2] == '\r' ? "\r\n" : "\n";
    }
    // The first section of that name: its header and the end of its lines.
    size_t header = lines.size();
    for (size_t i = 0; i < lines.size() && header == lines.size(); ++i)
    {
        if (lines[i].kind == Line::Header && EqualsNoCase(lines[i].name, section))
        {
            header = i;
        }
    }
    size_t end = header;
    if (header < lines.size())
    {
        for (end = header + 1; end < lines.size() && lines[end].kind != Line::Header; ++end)
        {
        }
    }
    auto terminate = [&](size_t index) {
        if (index < lines.size() && lines[index].text.back() != '\n')
        {
            lines[index].text += newline;
        }
    };
    if (key == nullptr)
    {
        if (header == lines.size())
        {
            return ERROR_SUCCESS;
        }
        lines.erase(lines.begin() + static_cast<ptrdiff_t>(header),
                    lines.begin() + static_cast<ptrdiff_t>(end));
    }
    else
    {
        size_t found = lines.size();
        size_t lastKey = header;
        for (size_t i = header + 1; i < end; ++i)
        {
            if (lines[i].kind == Line::Key)
            {
                lastKey = i;
                if (found == lines.size() && EqualsNoCase(lines[i].name, key))
                {
                    found = i;
                }
            }
        }
        if (value == nullptr)
        {
            if (found == lines.size())
            {
                return ERROR_SUCCESS;
            }
            lines.erase(lines.begin() + static_cast<ptrdiff_t>(found));
        }
        else if (found != lines.size())
        {
            const std::string& text = lines[found].text;
            size_t breakAt = text.find_first_of("\r\n");
            std::string lineBreak = breakAt == std::string::npos ? "" : text.substr(breakAt);
            lines[found].text = lines[found].name + "=" + value + lineBreak;
        }
        else if (header != lines.size())
        {
            terminate(lastKey);
            Line added;
            added.text = std::string(key) + "=" + value + newline;
            lines.insert(lines.begin() + static_cast<ptrdiff_t>(lastKey + 1), added);
        }
        else
        {
            terminate(lines.size() - 1);
            Line added;
            added.text = "[" + std::string(section) + "]" + newline + key + "=" + value + newline;
            lines.push_back(added);
        }
    }
    std::string changed;
    for (const Line& line : lines)
    {
        changed += line.text;
    }
    FILE* f = fopen(host.c_str(), "wb");
    if (f == nullptr)
    {
        return errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    }
    bool written = fwrite(changed.data(), 1, changed.size(), f) == changed.size();
    written = fclose(f) == 0 && written;
    return written ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
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

    // Sets a key (lpString given), deletes it (no lpString) or deletes a whole section (no key).
    // Deleting what is not there succeeds. With no section the call only flushes what a cache would
    // hold (this machine keeps none) and returns FALSE, as Windows does.
    BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                           LPCSTR lpFileName)
    {
        if (lpAppName == nullptr)
        {
            return FALSE;
        }
        DWORD error = ChangeProfile(lpFileName, lpAppName, lpKeyName, lpString);
        if (error != ERROR_SUCCESS)
        {
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    }

    DWORD WINAPI GetProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                   LPSTR lpReturnedString, DWORD nSize)
    {
        return GetPrivateProfileStringA(lpAppName, lpKeyName, lpDefault, lpReturnedString, nSize, kWinIni);
    }

    UINT WINAPI GetProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault)
    {
        return GetPrivateProfileIntA(lpAppName, lpKeyName, nDefault, kWinIni);
    }

    BOOL WINAPI WriteProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString)
    {
        return WritePrivateProfileStringA(lpAppName, lpKeyName, lpString, kWinIni);
    }

} // extern "C"
