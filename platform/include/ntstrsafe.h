// Safe string functions for kernel-mode code (the counted-buffer family of the kit's ntstrsafe.h),
// built on the kernel's _vsnwprintf.
#pragma once

#include <wdm.h>

#define NTSTRSAFE_MAX_CCH 2147483647

inline NTSTATUS RtlStringCchVPrintfW(PWSTR Destination, size_t CchDestination, PCWSTR Format, va_list ArgList)
{
    if (CchDestination == 0 || CchDestination > NTSTRSAFE_MAX_CCH)
    {
        return STATUS_INVALID_PARAMETER;
    }
    int written = _vsnwprintf(Destination, CchDestination - 1, Format, ArgList);
    if (written < 0 || (size_t)written > CchDestination - 1)
    {
        // The text is cut and always terminated.
        Destination[CchDestination - 1] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    Destination[written] = 0;
    return STATUS_SUCCESS;
}

inline NTSTATUS RtlStringCchPrintfW(PWSTR Destination, size_t CchDestination, PCWSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    NTSTATUS status = RtlStringCchVPrintfW(Destination, CchDestination, Format, args);
    va_end(args);
    return status;
}

inline NTSTATUS RtlStringCbPrintfW(PWSTR Destination, size_t CbDestination, PCWSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    NTSTATUS status = RtlStringCchVPrintfW(Destination, CbDestination / sizeof(WCHAR), Format, args);
    va_end(args);
    return status;
}

inline NTSTATUS RtlStringCchLengthW(PCWSTR String, size_t CchMax, size_t* Length)
{
    if (String == NULL || CchMax > NTSTRSAFE_MAX_CCH)
    {
        return STATUS_INVALID_PARAMETER;
    }
    size_t count = 0;
    while (count < CchMax && String[count] != 0)
    {
        ++count;
    }
    if (count == CchMax)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (Length != NULL)
    {
        *Length = count;
    }
    return STATUS_SUCCESS;
}

inline NTSTATUS RtlStringCbLengthW(PCWSTR String, size_t CbMax, size_t* Length)
{
    size_t count = 0;
    NTSTATUS status = RtlStringCchLengthW(String, CbMax / sizeof(WCHAR), &count);
    if (NT_SUCCESS(status) && Length != NULL)
    {
        *Length = count * sizeof(WCHAR);
    }
    return status;
}

inline NTSTATUS RtlStringCchCopyW(PWSTR Destination, size_t CchDestination, PCWSTR Source)
{
    if (CchDestination == 0 || CchDestination > NTSTRSAFE_MAX_CCH)
    {
        return STATUS_INVALID_PARAMETER;
    }
    size_t i = 0;
    for (; i < CchDestination - 1 && Source[i] != 0; ++i)
    {
        Destination[i] = Source[i];
    }
    Destination[i] = 0;
    return Source[i] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

inline NTSTATUS RtlStringCbCopyW(PWSTR Destination, size_t CbDestination, PCWSTR Source)
{
    return RtlStringCchCopyW(Destination, CbDestination / sizeof(WCHAR), Source);
}
