// Run-time library routines: counted strings, the kernel's printf family, version queries and
// the lookup of system routines by name.
#include "Pool.h"
#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include "base/unicode.h"
#include "base/winprintf.h"

#include <string.h>

#include <map>
#include <string>

using namespace winsim;
using namespace winsim::kernel;

extern "C" NTSTATUS NTAPI NtQuerySystemInformation(ULONG SystemInformationClass, PVOID SystemInformation,
                                                   ULONG SystemInformationLength, PULONG ReturnLength);

namespace
{

size_t WideLen(PCWSTR text)
{
    return winsim::WideLength(text);
}

WCHAR Upcase(WCHAR c)
{
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
    {
        return static_cast<WCHAR>(c - 0x20);
    }
    return c;
}

} // namespace

extern "C"
{

    VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
    {
        if (SourceString == nullptr)
        {
            DestinationString->Length = DestinationString->MaximumLength = 0;
            DestinationString->Buffer = nullptr;
            return;
        }
        size_t bytes = WideLen(SourceString) * sizeof(WCHAR);
        if (bytes > 0xFFFC)
        {
            bytes = 0xFFFC;
        }
        DestinationString->Length = static_cast<USHORT>(bytes);
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
        DestinationString->Buffer = const_cast<PWCH>(SourceString);
    }

    VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
    {
        if (SourceString == nullptr)
        {
            DestinationString->Length = DestinationString->MaximumLength = 0;
            DestinationString->Buffer = nullptr;
            return;
        }
        size_t bytes = strlen(SourceString);
        if (bytes > 0xFFFE)
        {
            bytes = 0xFFFE;
        }
        DestinationString->Length = static_cast<USHORT>(bytes);
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
        DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    }

    VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
    {
        if (SourceString == nullptr || SourceString->Buffer == nullptr)
        {
            DestinationString->Length = 0;
            return;
        }
        USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                           ? SourceString->Length
                           : DestinationString->MaximumLength;
        memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
        DestinationString->Length = bytes;
        // A terminator is added when there is room for it.
        if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        {
            DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
        }
    }

    LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
    {
        size_t n1 = String1->Length / sizeof(WCHAR);
        size_t n2 = String2->Length / sizeof(WCHAR);
        size_t n = n1 < n2 ? n1 : n2;
        for (size_t i = 0; i < n; ++i)
        {
            WCHAR a = String1->Buffer[i];
            WCHAR b = String2->Buffer[i];
            if (CaseInSensitive)
            {
                a = Upcase(a);
                b = Upcase(b);
            }
            if (a != b)
            {
                return static_cast<LONG>(a) - static_cast<LONG>(b);
            }
        }
        return static_cast<LONG>(n1) - static_cast<LONG>(n2);
    }

    BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
    {
        if (String1->Length != String2->Length)
        {
            return FALSE;
        }
        return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
    }

    NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
    {
        if (Source == nullptr)
        {
            return STATUS_SUCCESS;
        }
        size_t bytes = WideLen(Source) * sizeof(WCHAR);
        if (Destination->Length + bytes > Destination->MaximumLength)
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source, bytes);
        Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
        if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        {
            Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
    {
        if (Source->Length == 0)
        {
            return STATUS_SUCCESS;
        }
        if (Destination->Length + Source->Length > Destination->MaximumLength)
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                Source->Length);
        Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
        if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        {
            Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString)
    {
        char text[40];
        snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1,
                 Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
                 Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
        size_t length = strlen(text);
        PWCH buffer = static_cast<PWCH>(System::Current().GetPool().Allocate(
            PagedPool, (length + 1) * sizeof(WCHAR), 'rtsU', false, "RtlStringFromGUID"));
        if (buffer == nullptr)
        {
            return STATUS_NO_MEMORY;
        }
        for (size_t i = 0; i <= length; ++i)
        {
            buffer[i] = static_cast<WCHAR>(text[i]);
        }
        GuidString->Buffer = buffer;
        GuidString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
        GuidString->MaximumLength = static_cast<USHORT>((length + 1) * sizeof(WCHAR));
        return STATUS_SUCCESS;
    }

    VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
    {
        if (UnicodeString->Buffer != nullptr)
        {
            System::Current().GetPool().Free(UnicodeString->Buffer, 0, "RtlFreeUnicodeString");
        }
        UnicodeString->Buffer = nullptr;
        UnicodeString->Length = UnicodeString->MaximumLength = 0;
    }

    SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
    {
        const UCHAR* a = static_cast<const UCHAR*>(Source1);
        const UCHAR* b = static_cast<const UCHAR*>(Source2);
        SIZE_T i = 0;
        while (i < Length && a[i] == b[i])
        {
            ++i;
        }
        return i;
    }

    // _vsnwprintf and _vsnprintf: the count of characters written; when the text is longer than the
    // buffer, the buffer is filled without a terminator and -1 is returned. A text of exactly `count`
    // characters is written without a terminator and returns `count`.
    int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list argptr)
    {
        size_t needed = winsim::FormatWide(buffer, count, format, argptr);
        return needed > count ? -1 : static_cast<int>(needed);
    }

    int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...)
    {
        va_list args;
        va_start(args, format);
        int result = _vsnwprintf(buffer, count, format, args);
        va_end(args);
        return result;
    }

    int _vsnprintf(char* buffer, size_t count, const char* format, va_list argptr)
    {
        size_t needed = winsim::FormatNarrow(buffer, count, format, argptr);
        return needed > count ? -1 : static_cast<int>(needed);
    }

    int _snprintf(char* buffer, size_t count, const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        int result = _vsnprintf(buffer, count, format, args);
        va_end(args);
        return result;
    }

    NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
    {
        ULONG size = lpVersionInformation->dwOSVersionInfoSize;
        if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW))
        {
            return STATUS_INVALID_PARAMETER;
        }
        const SystemConfig& config = System::Current().Config();
        lpVersionInformation->dwMajorVersion = config.majorVersion;
        lpVersionInformation->dwMinorVersion = config.minorVersion;
        lpVersionInformation->dwBuildNumber = config.buildNumber;
        lpVersionInformation->dwPlatformId = 2; // VER_PLATFORM_WIN32_NT
        memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
        if (size == sizeof(RTL_OSVERSIONINFOEXW))
        {
            auto* extended = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
            extended->wServicePackMajor = 0;
            extended->wServicePackMinor = 0;
            extended->wSuiteMask = 0;
            extended->wProductType = 1; // VER_NT_WORKSTATION
            extended->wReserved = 0;
        }
        return STATUS_SUCCESS;
    }

    BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                         PUNICODE_STRING CSDVersion)
    {
        const SystemConfig& config = System::Current().Config();
        if (MajorVersion != nullptr)
        {
            *MajorVersion = config.majorVersion;
        }
        if (MinorVersion != nullptr)
        {
            *MinorVersion = config.minorVersion;
        }
        if (BuildNumber != nullptr)
        {
            *BuildNumber = config.buildNumber;
        }
        if (CSDVersion != nullptr)
        {
            CSDVersion->Length = 0;
        }
        return FALSE; // a free (retail) build of the system
    }

    NTSTATUS NTAPI NtQuerySystemInformation(ULONG SystemInformationClass, PVOID SystemInformation,
                                            ULONG SystemInformationLength, PULONG ReturnLength)
    {
        return System::Current().QueryInformation(SystemInformationClass, SystemInformation,
                                                  SystemInformationLength, ReturnLength);
    }

} // extern "C"

extern "C" PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    if (SystemRoutineName == nullptr || SystemRoutineName->Buffer == nullptr)
    {
        return nullptr;
    }
    std::string name = ToUtf8(SystemRoutineName->Buffer, SystemRoutineName->Length / sizeof(WCHAR));
    if (!System::Current().IsRoutineAvailable(name.c_str()))
    {
        return nullptr;
    }
    static const std::map<std::string, void*> builtIn = {
        {"NtQuerySystemInformation", reinterpret_cast<void*>(&NtQuerySystemInformation)},
        {"ZwQuerySystemInformation", reinterpret_cast<void*>(&NtQuerySystemInformation)},
        {"RtlQueryRegistryValuesEx", reinterpret_cast<void*>(&RtlQueryRegistryValuesEx)},
        {"RtlQueryRegistryValues", reinterpret_cast<void*>(&RtlQueryRegistryValues)},
        {"RtlGetVersion", reinterpret_cast<void*>(&RtlGetVersion)},
        {"PsGetVersion", reinterpret_cast<void*>(&PsGetVersion)},
        {"ExAllocatePool2", reinterpret_cast<void*>(&ExAllocatePool2)},
        {"ExAllocatePoolWithTag", reinterpret_cast<void*>(&ExAllocatePoolWithTag)},
        {"KeQuerySystemTimePrecise", reinterpret_cast<void*>(&KeQuerySystemTimePrecise)},
        {"WmiTraceMessage", reinterpret_cast<void*>(&WmiTraceMessage)},
        {"WmiQueryTraceInformation", reinterpret_cast<void*>(&WmiQueryTraceInformation)},
        {"EtwRegisterClassicProvider", reinterpret_cast<void*>(&EtwRegisterClassicProvider)},
        {"EtwUnregister", reinterpret_cast<void*>(&EtwUnregister)},
        {"IoWMIRegistrationControl", reinterpret_cast<void*>(&IoWMIRegistrationControl)},
    };
    auto it = builtIn.find(name);
    return it == builtIn.end() ? nullptr : it->second;
}
