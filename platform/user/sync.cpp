// Mutexes, events, waits and critical sections.
//
// A named mutex is one object per process (all handles opened under the name share it) that is
// paired with a host file in the machine's state folder. Ownership between the threads of the
// process is kept in the object; between processes the owner also holds a process-shared, robust
// pthread mutex that lives in the file, mapped into every process that opens the name. Taking and
// releasing it costs no system call unless another process holds it, and a process that dies while
// owning it leaves it abandoned, as on Windows.
#include "internal.h"

#include <winsim/user.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace winsim::user
{
namespace
{

using Clock = std::chrono::steady_clock;

// The part of a named mutex that every process maps from the mutex's file.
struct SharedMutex
{
    uint32_t ready; // kReady once the mutex below has been initialised
    uint32_t reserved;
    pthread_mutex_t mutex;
};
const uint32_t kReady = 0x4D555458; // "MUTX"

struct MutexObject : Object
{
    MutexObject() : Object(ObjectType::Mutex) {}
    ~MutexObject() override
    {
        // A mutex still owned stays mapped: the kernel releases it as abandoned when the owning
        // thread ends, and it needs the memory for that.
        if (shared != nullptr && owner == 0)
        {
            munmap(shared, sizeof(SharedMutex));
        }
        if (presence >= 0)
        {
            close(presence);
        }
    }
    std::mutex lock;
    std::condition_variable released;
    DWORD owner = 0;               // thread id of the owner (or of the thread acquiring it), 0 when free
    unsigned recursion = 0;        // times the owner has acquired it
    SharedMutex* shared = nullptr; // the machine-wide part of a named mutex
    int presence = -1;             // the mutex's file, share-locked while this process has it open
};

// Maps the named mutex's file. Every process that has the mutex open holds a shared flock on the
// file (waits never touch it). A process that can lock it exclusively is the only one: the mutex
// did not exist, and it is initialised afresh. Returns the mapping and the open file, and whether
// another process already had the mutex.
SharedMutex* MapSharedMutex(const std::string& file, int& presence, bool& existed)
{
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
    {
        SetLastError(ErrorFromErrno(errno));
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
    existed = !alone;
    SharedMutex* shared = nullptr;
    struct stat st;
    if (fstat(fd, &st) == 0 &&
        (st.st_size >= static_cast<off_t>(sizeof(SharedMutex)) || ftruncate(fd, sizeof(SharedMutex)) == 0))
    {
        void* memory = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory != MAP_FAILED)
        {
            shared = static_cast<SharedMutex*>(memory);
            if (alone || shared->ready != kReady)
            {
                pthread_mutexattr_t attributes;
                pthread_mutexattr_init(&attributes);
                pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
                pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
                pthread_mutex_init(&shared->mutex, &attributes);
                pthread_mutexattr_destroy(&attributes);
                shared->ready = kReady;
            }
        }
    }
    if (shared == nullptr)
    {
        SetLastError(ErrorFromErrno(errno));
        close(fd);
        return nullptr;
    }
    if (alone)
    {
        flock(fd, LOCK_SH);
    }
    presence = fd;
    return shared;
}

struct EventObject : Object
{
    EventObject() : Object(ObjectType::Event) {}
    std::mutex lock;
    std::condition_variable signalled;
    bool manualReset = false;
    bool state = false;
};

// Object names: "Local\" and "Global\" select the session or global namespace, which are one
// namespace on this machine; any other backslash names a directory that does not exist.
bool NormaliseName(LPCSTR lpName, std::string& name)
{
    name.clear();
    if (lpName == nullptr || lpName[0] == 0)
    {
        return true;
    }
    std::string_view n(lpName);
    if (n.size() > MAX_PATH)
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (n.substr(0, 6) == "Local\\")
    {
        n.remove_prefix(6);
    }
    else if (n.substr(0, 7) == "Global\\")
    {
        n.remove_prefix(7);
    }
    if (n.find('\\') != std::string_view::npos)
    {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    name = n;
    return true;
}

// Takes the machine-wide part of a named mutex. Returns WAIT_OBJECT_0, WAIT_ABANDONED (its owner
// ended without releasing it; the caller owns it now) or WAIT_TIMEOUT.
DWORD WaitShared(SharedMutex& shared, DWORD ms)
{
    int result;
    if (ms == INFINITE)
    {
        result = pthread_mutex_lock(&shared.mutex);
    }
    else if (ms == 0)
    {
        result = pthread_mutex_trylock(&shared.mutex);
    }
    else
    {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
        if (deadline.tv_nsec >= 1000000000)
        {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000;
        }
        result = pthread_mutex_timedlock(&shared.mutex, &deadline);
    }
    if (result == 0)
    {
        return WAIT_OBJECT_0;
    }
    if (result == EOWNERDEAD)
    {
        pthread_mutex_consistent(&shared.mutex);
        return WAIT_ABANDONED;
    }
    return WAIT_TIMEOUT;
}

DWORD WaitMutex(MutexObject& m, DWORD ms)
{
    DWORD self = CurrentThreadId();
    Clock::time_point deadline =
        ms == INFINITE ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> guard(m.lock);
    if (m.owner == self)
    {
        ++m.recursion;
        return WAIT_OBJECT_0;
    }
    while (m.owner != 0)
    {
        if (ms == INFINITE)
        {
            m.released.wait(guard);
        }
        else if (m.released.wait_until(guard, deadline) == std::cv_status::timeout && m.owner != 0)
        {
            return WAIT_TIMEOUT;
        }
    }
    m.owner = self;
    DWORD result = WAIT_OBJECT_0;
    if (m.shared != nullptr)
    {
        // No other process holds it (the usual case): taken at once, without letting go of m.lock.
        result = WaitShared(*m.shared, 0);
        if (result == WAIT_TIMEOUT && ms != 0)
        {
            guard.unlock();
            DWORD remaining = ms;
            if (ms != INFINITE)
            {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                remaining = left > 0 ? static_cast<DWORD>(left) : 0;
            }
            result = WaitShared(*m.shared, remaining);
            guard.lock();
        }
        if (result == WAIT_TIMEOUT)
        {
            m.owner = 0;
            m.released.notify_one();
            return WAIT_TIMEOUT;
        }
    }
    m.recursion = 1;
    return result;
}

DWORD WaitEvent(EventObject& e, DWORD ms)
{
    std::unique_lock<std::mutex> guard(e.lock);
    Clock::time_point deadline =
        ms == INFINITE ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(ms);
    while (!e.state)
    {
        if (ms == INFINITE)
        {
            e.signalled.wait(guard);
        }
        else if (e.signalled.wait_until(guard, deadline) == std::cv_status::timeout && !e.state)
        {
            return WAIT_TIMEOUT;
        }
    }
    if (!e.manualReset)
    {
        e.state = false;
    }
    return WAIT_OBJECT_0;
}

// Finds or creates a named object of the given type; sets ERROR_ALREADY_EXISTS when it existed and
// ERROR_INVALID_HANDLE when the name belongs to an object of another type.
template <typename T>
std::shared_ptr<T> OpenOrCreate(const std::string& name, ObjectType type, bool& created)
{
    created = false;
    if (!name.empty())
    {
        std::shared_ptr<Object> existing = FindNamed(name);
        if (existing)
        {
            if (existing->type != type)
            {
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            SetLastError(ERROR_ALREADY_EXISTS);
            return std::static_pointer_cast<T>(existing);
        }
    }
    auto object = std::make_shared<T>();
    object->name = name;
    created = true;
    return object;
}

pthread_mutex_t* CriticalSectionLock(LPCRITICAL_SECTION cs)
{
    return reinterpret_cast<pthread_mutex_t*>(cs->DebugInfo);
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName)
    {
        (void)lpMutexAttributes;
        std::string name;
        if (!NormaliseName(lpName, name))
        {
            return nullptr;
        }
        // Creation of named objects is serialised so two threads creating one name share one object.
        static std::mutex* creation = new std::mutex;
        bool created = false;
        bool existedElsewhere = false;
        std::shared_ptr<MutexObject> mutex;
        {
            std::lock_guard<std::mutex> guard(*creation);
            mutex = OpenOrCreate<MutexObject>(name, ObjectType::Mutex, created);
            if (!mutex)
            {
                return nullptr;
            }
            if (created && !name.empty())
            {
                std::string folder = winsim::StateDirectory() + "/mutex";
                MakeDirectories(folder);
                mutex->shared =
                    MapSharedMutex(folder + "/" + EscapeName(name), mutex->presence, existedElsewhere);
                if (mutex->shared == nullptr)
                {
                    return nullptr;
                }
                RegisterNamed(name, mutex);
            }
        }
        HANDLE handle = InsertHandle(mutex);
        if (created && existedElsewhere)
        {
            SetLastError(ERROR_ALREADY_EXISTS);
        }
        else if (created)
        {
            // The creator may take ownership at once; opening an existing mutex never does.
            if (bInitialOwner)
            {
                WaitMutex(*mutex, INFINITE);
            }
            SetLastError(ERROR_SUCCESS);
        }
        return handle;
    }

    BOOL WINAPI ReleaseMutex(HANDLE hMutex)
    {
        std::shared_ptr<Object> object = LookupHandle(hMutex);
        if (!object)
        {
            return FALSE;
        }
        if (object->type != ObjectType::Mutex)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        MutexObject& m = static_cast<MutexObject&>(*object);
        std::lock_guard<std::mutex> guard(m.lock);
        if (m.owner != CurrentThreadId() || m.recursion == 0)
        {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--m.recursion == 0)
        {
            if (m.shared != nullptr)
            {
                pthread_mutex_unlock(&m.shared->mutex);
            }
            m.owner = 0;
            m.released.notify_one();
        }
        return TRUE;
    }

    HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCSTR lpName)
    {
        (void)lpEventAttributes;
        std::string name;
        if (!NormaliseName(lpName, name))
        {
            return nullptr;
        }
        static std::mutex* creation = new std::mutex;
        std::lock_guard<std::mutex> guard(*creation);
        bool created = false;
        std::shared_ptr<EventObject> event = OpenOrCreate<EventObject>(name, ObjectType::Event, created);
        if (!event)
        {
            return nullptr;
        }
        if (created)
        {
            event->manualReset = bManualReset != FALSE;
            event->state = bInitialState != FALSE;
            if (!name.empty())
            {
                RegisterNamed(name, event);
            }
            SetLastError(ERROR_SUCCESS);
        }
        return InsertHandle(event);
    }

    static BOOL ChangeEvent(HANDLE hEvent, bool state)
    {
        std::shared_ptr<Object> object = LookupHandle(hEvent);
        if (!object)
        {
            return FALSE;
        }
        if (object->type != ObjectType::Event)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        EventObject& e = static_cast<EventObject&>(*object);
        std::lock_guard<std::mutex> guard(e.lock);
        e.state = state;
        if (state)
        {
            if (e.manualReset)
            {
                e.signalled.notify_all();
            }
            else
            {
                e.signalled.notify_one();
            }
        }
        return TRUE;
    }

    BOOL WINAPI SetEvent(HANDLE hEvent)
    {
        return ChangeEvent(hEvent, true);
    }

    BOOL WINAPI ResetEvent(HANDLE hEvent)
    {
        return ChangeEvent(hEvent, false);
    }

    DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
    {
        std::shared_ptr<Object> object = LookupHandle(hHandle);
        if (!object)
        {
            return WAIT_FAILED;
        }
        switch (object->type)
        {
        case ObjectType::Mutex:
            return WaitMutex(static_cast<MutexObject&>(*object), dwMilliseconds);
        case ObjectType::Event:
            return WaitEvent(static_cast<EventObject&>(*object), dwMilliseconds);
        default:
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }

    void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        auto* lock = new pthread_mutex_t;
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(lock, &attributes);
        pthread_mutexattr_destroy(&attributes);
        lpCriticalSection->DebugInfo = reinterpret_cast<PRTL_CRITICAL_SECTION_DEBUG>(lock);
        lpCriticalSection->LockCount = -1;
        lpCriticalSection->RecursionCount = 0;
        lpCriticalSection->OwningThread = nullptr;
        lpCriticalSection->LockSemaphore = nullptr;
        lpCriticalSection->SpinCount = 0;
    }

    void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        pthread_mutex_lock(CriticalSectionLock(lpCriticalSection));
        lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentThreadId()));
        ++lpCriticalSection->RecursionCount;
    }

    BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        if (pthread_mutex_trylock(CriticalSectionLock(lpCriticalSection)) != 0)
        {
            return FALSE;
        }
        lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentThreadId()));
        ++lpCriticalSection->RecursionCount;
        return TRUE;
    }

    void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        if (--lpCriticalSection->RecursionCount == 0)
        {
            lpCriticalSection->OwningThread = nullptr;
        }
        pthread_mutex_unlock(CriticalSectionLock(lpCriticalSection));
    }

    void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        pthread_mutex_t* lock = CriticalSectionLock(lpCriticalSection);
        if (lock != nullptr)
        {
            pthread_mutex_destroy(lock);
            delete lock;
        }
        lpCriticalSection->DebugInfo = nullptr;
    }

} // extern "C"
