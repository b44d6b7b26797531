// The part of ntdll's native interface that Windows documents for applications: the native types,
// a few system services and the translation of an NTSTATUS into a Win32 error code.
#pragma once

#include <winsim/base.h>
#include <winsim/nttypes.h>
#include <ntstatus.h>

WINSIM_EXTERN_C_BEGIN

WINSIM_API ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);

WINSIM_API NTSTATUS NTAPI NtClose(HANDLE Handle);
WINSIM_API NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                       ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                       ULONG EaLength);
WINSIM_API NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                     ULONG ShareAccess, ULONG OpenOptions);
WINSIM_API NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                ULONG IoControlCode, PVOID InputBuffer,
                                                ULONG InputBufferLength, PVOID OutputBuffer,
                                                ULONG OutputBufferLength);
WINSIM_API NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass);
WINSIM_API NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass);
WINSIM_API NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
WINSIM_API NTSTATUS NTAPI NtQuerySystemTime(PLARGE_INTEGER SystemTime);

WINSIM_EXTERN_C_END
