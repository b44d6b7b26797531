// The COM-name database (msports): which COM numbers are taken on this machine.
//
// The database is where Windows keeps it, the ComDB binary value of
// HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter: bit (n-1)%8 of byte (n-1)/8 set means
// COM<n> is taken. The Ports class installer of the machine (Setup) claims numbers in the same
// value. The value's length is the database size (a missing or shorter value counts as
// COMDB_MIN_PORTS_ARBITRATED numbers, all free).
//
// Every call reads, changes and writes the value while it holds a named mutex, so that the
// processes of the machine that share the database see one another's claims whole. A handle is an
// open key and the mutex's handle; the handles alive in the process are kept in a set, so a stale
// or made-up handle fails with ERROR_INVALID_PARAMETER rather than being used.
//
// Where the documentation is silent (see docs/port-names.md): ComDBClaimPort with ForceClaim on a
// taken number succeeds and sets *Forced; a number above the database size but within
// COMDB_MAX_PORTS_ARBITRATED grows the database to the next multiple of 1024 numbers; releasing a
// free number succeeds.
#include "internal.h"

#include <msports.h>

#include <string.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

namespace winsim::user
{
namespace
{

constexpr char kArbiterKey[] = "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr char kDatabaseValue[] = "ComDB";
constexpr char kDatabaseMutex[] = "Global\\ComNameArbiterLock";
constexpr DWORD kResizeStep = 1024; // ComDBResizeDatabase sizes are multiples of this

struct ComDb
{
    HKEY key;
    HANDLE mutex;
};

// The handles alive in this process; allocated once and never freed (see internal.h).
std::mutex& HandlesLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::set<ComDb*>& LiveHandles()
{
    static auto* handles = new std::set<ComDb*>;
    return *handles;
}

ComDb* DatabaseOf(HCOMDB handle)
{
    auto* database = reinterpret_cast<ComDb*>(handle);
    std::lock_guard<std::mutex> guard(HandlesLock());
    return LiveHandles().count(database) != 0 ? database : nullptr;
}

// The database's bits while the caller holds the mutex; at least the minimum size.
LONG ReadBits(const ComDb& database, std::vector<BYTE>* bits)
{
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExA(database.key, kDatabaseValue, nullptr, &type, nullptr, &size);
    if (result == ERROR_FILE_NOT_FOUND)
    {
        size = 0;
    }
    else if (result != ERROR_SUCCESS || type != REG_BINARY)
    {
        return ERROR_NOT_CONNECTED;
    }
    bits->assign(size, 0);
    if (size != 0 &&
        RegQueryValueExA(database.key, kDatabaseValue, nullptr, &type, bits->data(), &size) != ERROR_SUCCESS)
    {
        return ERROR_NOT_CONNECTED;
    }
    if (bits->size() < COMDB_MIN_PORTS_ARBITRATED / 8)
    {
        bits->resize(COMDB_MIN_PORTS_ARBITRATED / 8, 0);
    }
    return ERROR_SUCCESS;
}

LONG WriteBits(const ComDb& database, const std::vector<BYTE>& bits)
{
    return RegSetValueExA(database.key, kDatabaseValue, 0, REG_BINARY, bits.data(),
                          static_cast<DWORD>(bits.size())) == ERROR_SUCCESS
               ? ERROR_SUCCESS
               : ERROR_CANTWRITE;
}

bool Claimed(const std::vector<BYTE>& bits, DWORD number)
{
    return (bits[(number - 1) / 8] & (1u << ((number - 1) % 8))) != 0;
}

void SetClaimed(std::vector<BYTE>& bits, DWORD number, bool claimed)
{
    BYTE mask = static_cast<BYTE>(1u << ((number - 1) % 8));
    bits[(number - 1) / 8] =
        static_cast<BYTE>(claimed ? bits[(number - 1) / 8] | mask : bits[(number - 1) / 8] & ~mask);
}

// Runs one change of the database under the mutex: reads the bits, lets the change work on them
// and writes them back when it asks to. Returns the first failure.
template <typename Change>
LONG Transact(HCOMDB handle, Change change)
{
    ComDb* database = DatabaseOf(handle);
    if (database == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD wait = WaitForSingleObject(database->mutex, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
    {
        return ERROR_NOT_CONNECTED;
    }
    std::vector<BYTE> bits;
    LONG result = ReadBits(*database, &bits);
    bool write = false;
    if (result == ERROR_SUCCESS)
    {
        result = change(bits, &write);
    }
    if (result == ERROR_SUCCESS && write)
    {
        result = WriteBits(*database, bits);
    }
    ReleaseMutex(database->mutex);
    return result;
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    LONG WINAPI ComDBOpen(PHCOMDB PHComDB)
    {
        if (PHComDB == nullptr)
        {
            return ERROR_INVALID_PARAMETER;
        }
        *PHComDB = HCOMDB_INVALID_HANDLE_VALUE;
        // The arbiter's key is writable by administrators only.
        if (!ProcessRunsAsAdministrator())
        {
            return ERROR_ACCESS_DENIED;
        }
        HKEY key = nullptr;
        LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kArbiterKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      &key, nullptr);
        if (result != ERROR_SUCCESS)
        {
            return ERROR_ACCESS_DENIED;
        }
        HANDLE mutex = CreateMutexA(nullptr, FALSE, kDatabaseMutex);
        if (mutex == nullptr)
        {
            RegCloseKey(key);
            return ERROR_ACCESS_DENIED;
        }
        auto* database = new ComDb{key, mutex};
        {
            std::lock_guard<std::mutex> guard(HandlesLock());
            LiveHandles().insert(database);
        }
        *PHComDB = reinterpret_cast<HCOMDB>(database);
        return ERROR_SUCCESS;
    }

    LONG WINAPI ComDBClose(HCOMDB HComDB)
    {
        auto* database = reinterpret_cast<ComDb*>(HComDB);
        {
            std::lock_guard<std::mutex> guard(HandlesLock());
            if (LiveHandles().erase(database) == 0)
            {
                return ERROR_INVALID_PARAMETER;
            }
        }
        RegCloseKey(database->key);
        CloseHandle(database->mutex);
        delete database;
        return ERROR_SUCCESS;
    }

    // With no buffer, *MaxPortsReported is the database size. With one, it receives one bit or one
    // byte per number from COM1 on, as many as fit and the database has, and *MaxPortsReported how
    // many numbers that was.
    LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize, ULONG ReportType,
                                         LPDWORD MaxPortsReported)
    {
        if (Buffer == nullptr && MaxPortsReported == nullptr)
        {
            return ERROR_INVALID_PARAMETER;
        }
        if (Buffer != nullptr && ReportType != CDB_REPORT_BITS && ReportType != CDB_REPORT_BYTES)
        {
            return ERROR_INVALID_PARAMETER;
        }
        return Transact(HComDB, [&](std::vector<BYTE>& bits, bool*) -> LONG {
            DWORD size = static_cast<DWORD>(bits.size() * 8);
            if (Buffer == nullptr)
            {
                *MaxPortsReported = size;
                return ERROR_SUCCESS;
            }
            DWORD reported = 0;
            if (ReportType == CDB_REPORT_BITS)
            {
                DWORD bytes = std::min<DWORD>(BufferSize, static_cast<DWORD>(bits.size()));
                memcpy(Buffer, bits.data(), bytes);
                reported = bytes * 8;
            }
            else
            {
                reported = std::min(BufferSize, size);
                for (DWORD number = 1; number <= reported; ++number)
                {
                    Buffer[number - 1] = Claimed(bits, number) ? 1 : 0;
                }
            }
            if (MaxPortsReported != nullptr)
            {
                *MaxPortsReported = reported;
            }
            return ERROR_SUCCESS;
        });
    }

    LONG WINAPI ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber)
    {
        if (ComNumber == nullptr)
        {
            return ERROR_INVALID_PARAMETER;
        }
        return Transact(HComDB, [&](std::vector<BYTE>& bits, bool* write) -> LONG {
            for (DWORD number = 1; number <= bits.size() * 8; ++number)
            {
                if (!Claimed(bits, number))
                {
                    SetClaimed(bits, number, true);
                    *ComNumber = number;
                    *write = true;
                    return ERROR_SUCCESS;
                }
            }
            return ERROR_NO_LOG_SPACE;
        });
    }

    LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced)
    {
        if (ComNumber == 0 || ComNumber > COMDB_MAX_PORTS_ARBITRATED)
        {
            return ERROR_INVALID_PARAMETER;
        }
        return Transact(HComDB, [&](std::vector<BYTE>& bits, bool* write) -> LONG {
            if (ComNumber > bits.size() * 8)
            {
                DWORD size = (ComNumber + kResizeStep - 1) / kResizeStep * kResizeStep;
                bits.resize(size / 8, 0);
            }
            bool taken = Claimed(bits, ComNumber);
            if (Forced != nullptr)
            {
                *Forced = taken && ForceClaim ? TRUE : FALSE;
            }
            if (taken && !ForceClaim)
            {
                return ERROR_SHARING_VIOLATION;
            }
            SetClaimed(bits, ComNumber, true);
            *write = true;
            return ERROR_SUCCESS;
        });
    }

    LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber)
    {
        return Transact(HComDB, [&](std::vector<BYTE>& bits, bool* write) -> LONG {
            if (ComNumber == 0 || ComNumber > bits.size() * 8)
            {
                return ERROR_INVALID_PARAMETER;
            }
            SetClaimed(bits, ComNumber, false);
            *write = true;
            return ERROR_SUCCESS;
        });
    }

    LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize)
    {
        return Transact(HComDB, [&](std::vector<BYTE>& bits, bool* write) -> LONG {
            if (NewSize % kResizeStep != 0)
            {
                return ERROR_INVALID_PARAMETER;
            }
            if (NewSize <= bits.size() * 8 || NewSize > COMDB_MAX_PORTS_ARBITRATED)
            {
                return ERROR_BAD_LENGTH;
            }
            bits.resize(NewSize / 8, 0);
            *write = true;
            return ERROR_SUCCESS;
        });
    }

} // extern "C"
