#include "SharedState.h"

#include "base/unicode.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace winsim::kernel
{
namespace
{

const uint32_t kReady = 0x4D555458; // "MUTX"

NTSTATUS StatusFromErrno(int error)
{
    switch (error)
    {
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case ENOMEM:
    case ENOSPC:
    case EMFILE:
    case ENFILE:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

void MakeDirectories(const std::string& path)
{
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) == 0)
    {
        return;
    }
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
    {
        MakeDirectories(path.substr(0, slash));
    }
    mkdir(path.c_str(), 0700);
}

} // namespace

// The part of a named mutex that every process maps from the mutex's file.
struct SharedMutex::Mapped
{
    uint32_t ready; // kReady once the mutex below has been initialised
    uint32_t reserved;
    pthread_mutex_t mutex;
};

std::string HostFileNameOf(std::u16string_view name)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string utf8 = ToUtf8(std::u16string(name));
    std::string out;
    for (char c : utf8)
    {
        unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '.' ||
            u == '-' || u == '_')
        {
            out.push_back(c);
        }
        else
        {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        }
    }
    if (out.size() > 200 || out == "." || out == "..")
    {
        // Long names: a hash keeps the file name within the host's limit.
        uint64_t h = 1469598103934665603ull;
        for (char c : utf8)
        {
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        char buffer[40];
        snprintf(buffer, sizeof(buffer), "%%long-%016llx", static_cast<unsigned long long>(h));
        out = out.substr(0, 120) + buffer;
    }
    return out;
}

// Every process that has the mutex open holds a shared flock on its file (waits never touch it). A
// process that can lock it exclusively is the only one: the mutex did not exist, and it is
// initialised afresh.
std::unique_ptr<SharedMutex> SharedMutex::Open(const std::string& machineDirectory, std::u16string_view name,
                                               bool* existed, NTSTATUS* status)
{
    std::string folder = machineDirectory + "/objects/mutant";
    MakeDirectories(folder);
    std::string file = folder + "/" + HostFileNameOf(UpperCase(name));
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
    {
        *status = StatusFromErrno(errno);
        return nullptr;
    }
    bool alone = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!alone)
    {
        // Opened elsewhere (or being initialised there): wait until it is ready to share.
        while (flock(fd, LOCK_SH) != 0 && errno == EINTR)
        {
        }
    }
    *existed = !alone;
    Mapped* mapped = nullptr;
    struct stat st;
    if (fstat(fd, &st) == 0 &&
        (st.st_size >= static_cast<off_t>(sizeof(Mapped)) || ftruncate(fd, sizeof(Mapped)) == 0))
    {
        void* memory = mmap(nullptr, sizeof(Mapped), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory != MAP_FAILED)
        {
            mapped = static_cast<Mapped*>(memory);
            if (alone || mapped->ready != kReady)
            {
                pthread_mutexattr_t attributes;
                pthread_mutexattr_init(&attributes);
                pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
                pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
                pthread_mutex_init(&mapped->mutex, &attributes);
                pthread_mutexattr_destroy(&attributes);
                mapped->ready = kReady;
            }
        }
    }
    if (mapped == nullptr)
    {
        *status = StatusFromErrno(errno);
        close(fd);
        return nullptr;
    }
    if (alone)
    {
        flock(fd, LOCK_SH);
    }
    *status = STATUS_SUCCESS;
    return std::unique_ptr<SharedMutex>(new SharedMutex(mapped, fd));
}

SharedMutex::~SharedMutex()
{
    // A mutex still held stays mapped: the host releases it as abandoned when the owning thread
    // ends, and needs the memory for that.
    if (!m_held)
    {
        munmap(m_mapped, sizeof(Mapped));
    }
    close(m_presence);
}

SharedMutex::Result SharedMutex::Lock(std::optional<std::chrono::milliseconds> timeout)
{
    int result;
    if (!timeout)
    {
        result = pthread_mutex_lock(&m_mapped->mutex);
    }
    else if (timeout->count() <= 0)
    {
        result = pthread_mutex_trylock(&m_mapped->mutex);
    }
    else
    {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        long long ms = timeout->count();
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
        if (deadline.tv_nsec >= 1000000000)
        {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000;
        }
        result = pthread_mutex_timedlock(&m_mapped->mutex, &deadline);
    }
    if (result == 0)
    {
        m_held = true;
        return Result::Acquired;
    }
    if (result == EOWNERDEAD)
    {
        pthread_mutex_consistent(&m_mapped->mutex);
        m_held = true;
        return Result::Abandoned;
    }
    return Result::TimedOut;
}

void SharedMutex::Unlock()
{
    m_held = false;
    pthread_mutex_unlock(&m_mapped->mutex);
}

USHORT AddSharedAtom(const std::string& machineDirectory, std::u16string_view name)
{
    const unsigned kFirst = 0xC000;
    const unsigned kLast = 0xFFFF;
    MakeDirectories(machineDirectory);
    std::string path = machineDirectory + "/atoms";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
    {
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
    // One line per atom: four hexadecimal digits, a blank, the name as first added (UTF-8).
    std::string wanted = ToUtf8(std::u16string(name));
    unsigned highest = kFirst - 1;
    unsigned found = 0;
    size_t pos = 0;
    while (pos < content.size())
    {
        size_t eol = content.find('\n', pos);
        if (eol == std::string::npos)
        {
            break;
        }
        std::string_view line(content.data() + pos, eol - pos);
        pos = eol + 1;
        if (line.size() < 6 || line[4] != ' ')
        {
            continue;
        }
        unsigned number = static_cast<unsigned>(strtoul(std::string(line.substr(0, 4)).c_str(), nullptr, 16));
        highest = std::max(highest, number);
        if (found == 0 && EqualsNoCase(line.substr(5), wanted))
        {
            found = number;
        }
    }
    if (found == 0 && highest < kLast)
    {
        found = highest + 1;
        char number[8];
        snprintf(number, sizeof(number), "%04X ", found);
        std::string line = number + wanted + "\n";
        if (pwrite(fd, line.data(), line.size(), static_cast<off_t>(content.size())) !=
            static_cast<ssize_t>(line.size()))
        {
            found = 0;
        }
    }
    flock(fd, LOCK_UN);
    close(fd);
    return static_cast<USHORT>(found);
}

} // namespace winsim::kernel
