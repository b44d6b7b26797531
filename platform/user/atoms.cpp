// Registered window messages. The machine keeps one table of message names in a file of its state
// folder; a process takes an exclusive flock on it to look a name up or add one, so every process
// of the machine gets the same number for the same name.
#include "internal.h"

#include <winsim/user.h>

#include "base/unicode.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace
{

const UINT kFirstMessage = 0xC000;
const UINT kLastMessage = 0xFFFF;

struct Cache
{
    std::mutex lock;
    std::map<std::string, UINT> numbers; // by upper-cased name
};

Cache& TheCache()
{
    static Cache* cache = new Cache;
    return *cache;
}

// Looks the name up in the machine's table, adding it when missing. Returns 0 on failure.
UINT LookUpOrAdd(const std::string& name)
{
    std::string path = winsim::StateDirectory() + "/registered-messages";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
    {
        SetLastError(winsim::user::ErrorFromErrno(errno));
        return 0;
    }
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR)
    {
    }
    std::string content;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
    {
        content.append(buffer, static_cast<size_t>(n));
    }
    // One line per message: four hexadecimal digits, a blank, the name as first registered.
    UINT highest = kFirstMessage - 1;
    UINT found = 0;
    size_t pos = 0;
    while (pos < content.size())
    {
        size_t eol = content.find('\n', pos);
        if (eol == std::string::npos)
        {
            break;
        }
        std::string line = content.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.size() < 6 || line[4] != ' ')
        {
            continue;
        }
        UINT number = static_cast<UINT>(strtoul(line.substr(0, 4).c_str(), nullptr, 16));
        if (number > highest)
        {
            highest = number;
        }
        if (found == 0 && winsim::EqualsNoCase(std::string_view(line).substr(5), name))
        {
            found = number;
        }
    }
    if (found == 0)
    {
        if (highest >= kLastMessage)
        {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        else
        {
            found = highest + 1;
            char number[8];
            snprintf(number, sizeof(number), "%04X ", found);
            std::string line = number + name + "\n";
            if (pwrite(fd, line.data(), line.size(), static_cast<off_t>(content.size())) !=
                static_cast<ssize_t>(line.size()))
            {
                SetLastError(winsim::user::ErrorFromErrno(errno));
                found = 0;
            }
        }
    }
    flock(fd, LOCK_UN);
    close(fd);
    return found;
}

} // namespace

extern "C"
{

    UINT WINAPI RegisterWindowMessageA(LPCSTR lpString)
    {
        if (lpString == nullptr || lpString[0] == 0 || strlen(lpString) > 255 ||
            strchr(lpString, '\n') != nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::string key = winsim::UpperCase(lpString);
        Cache& cache = TheCache();
        std::lock_guard<std::mutex> guard(cache.lock);
        auto it = cache.numbers.find(key);
        if (it != cache.numbers.end())
        {
            return it->second;
        }
        UINT number = LookUpOrAdd(lpString);
        if (number != 0)
        {
            cache.numbers.emplace(key, number);
        }
        return number;
    }

} // extern "C"
