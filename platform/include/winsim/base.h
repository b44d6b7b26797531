// Basic Windows data types shared by the kernel-mode and user-mode headers of the simulated machine.
//
// The layouts follow the LLP64 model of 64-bit Windows: LONG and ULONG are 32 bits, pointers and
// the *_PTR types 64 bits, and WCHAR is a 16-bit UTF-16 code unit (the build passes -fshort-wchar,
// so L"..." literals are UTF-16 as they are on Windows).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>

#include <sal.h>

#ifndef __cplusplus
#include <assert.h> // static_assert in C
#endif

static_assert(sizeof(wchar_t) == 2, "the simulated Windows headers need -fshort-wchar");
static_assert(sizeof(void*) == 8, "the simulated Windows headers describe 64-bit Windows");

#ifdef __cplusplus
#define WINSIM_EXTERN_C extern "C"
#define WINSIM_EXTERN_C_BEGIN                                                                                \
    extern "C"                                                                                               \
    {
#define WINSIM_EXTERN_C_END }
#else
#define WINSIM_EXTERN_C extern
#define WINSIM_EXTERN_C_BEGIN
#define WINSIM_EXTERN_C_END
#endif

// Functions of the simulated platform are exported from its shared libraries.
#define WINSIM_API __attribute__((visibility("default")))

// Calling conventions are all the same on x64.
#define WINAPI
#define NTAPI
#define CALLBACK
#define APIENTRY
#define WINAPIV
#define STDMETHODCALLTYPE
#define FASTCALL
#define __stdcall
#define __cdecl
#define __fastcall
#define DECLSPEC_IMPORT
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define FORCEINLINE       inline __attribute__((always_inline))
#define NTSYSAPI
#define NTSYSCALLAPI
#define NTKERNELAPI
#define NTHALAPI
#define WINBASEAPI
#define WINUSERAPI
#define WINADVAPI
#define CONST const
#define IN
#define OUT
#define OPTIONAL
#define UNALIGNED
#define RESTRICTED_POINTER
#define POINTER_64
#define POINTER_32

#ifndef VOID
#define VOID void
#endif
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* PCVOID;
typedef const void* LPCVOID;

typedef char CHAR;
typedef signed char SCHAR;
typedef unsigned char UCHAR;
typedef unsigned char BYTE;
typedef unsigned char BOOLEAN;
typedef short SHORT;
typedef unsigned short USHORT;
typedef unsigned short WORD;
typedef int INT;
typedef unsigned int UINT;
typedef int LONG;
typedef unsigned int ULONG;
typedef unsigned int DWORD;
typedef int BOOL;
typedef float FLOAT;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef long long LONG64;
typedef unsigned long long ULONG64;
typedef unsigned long long DWORD64;
typedef unsigned long long DWORDLONG;
typedef int INT32;
typedef unsigned int UINT32;
typedef int LONG32;
typedef unsigned int ULONG32;
typedef unsigned int DWORD32;
typedef long long INT64;
typedef unsigned long long UINT64;
typedef signed char INT8;
typedef unsigned char UINT8;
typedef short INT16;
typedef unsigned short UINT16;
typedef wchar_t WCHAR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;

typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef ULONG_PTR KAFFINITY;

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef CHAR* LPSTR;
typedef CHAR* PCH;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCCH;
typedef const CHAR* LPCCH;
typedef CHAR* PSZ;
typedef const CHAR* PCSZ;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef WCHAR* NWPSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* LPCWCH;
typedef UCHAR* PUCHAR;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef BOOLEAN* PBOOLEAN;
typedef SHORT* PSHORT;
typedef USHORT* PUSHORT;
typedef WORD* PWORD;
typedef WORD* LPWORD;
typedef INT* PINT;
typedef INT* LPINT;
typedef UINT* PUINT;
typedef LONG* PLONG;
typedef LONG* LPLONG;
typedef ULONG* PULONG;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef LONG64* PLONG64;
typedef ULONG64* PULONG64;
typedef ULONG_PTR* PULONG_PTR;
typedef LONG_PTR* PLONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef PVOID* PPVOID;

typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef LONG HRESULT;
typedef ULONG LCID;
typedef USHORT LANGID;
typedef ULONG ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;
typedef ULONG LOGICAL;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG64 TRACEHANDLE;
typedef TRACEHANDLE* PTRACEHANDLE;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;

#define DECLARE_HANDLE(name)                                                                                 \
    struct name##__                                                                                          \
    {                                                                                                        \
        int unused;                                                                                          \
    };                                                                                                       \
    typedef struct name##__* name

#ifndef NULL
#ifdef __cplusplus
#define NULL nullptr
#else
#define NULL ((void*)0)
#endif
#endif
#define TRUE  1
#define FALSE 0

#define MAXUCHAR  0xff
#define MAXUSHORT 0xffff
#define MAXULONG  0xffffffffu
#define MAXLONG   0x7fffffff
#define MAXDWORD  0xffffffff
#define MAXLONGLONG 0x7fffffffffffffffLL
#define MAX_PATH  260

#define ANYSIZE_ARRAY 1

typedef union _LARGE_INTEGER {
    struct
    {
        ULONG LowPart;
        LONG HighPart;
    };
    struct
    {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct
    {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct
    {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY
{
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING
{
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING
{
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

#include <guiddef.h>

#define NT_SUCCESS(Status)     (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status)     ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status)       ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field)               ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field)             (sizeof(((type*)0)->field))
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#define RTL_NUMBER_OF(A)                        (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A)                            RTL_NUMBER_OF(A)
#define _ARRAYSIZE(A)                           RTL_NUMBER_OF(A)
#define UNREFERENCED_PARAMETER(P)               ((void)(P))
#define C_ASSERT(e)                             static_assert(e, #e)
#define RTL_CONSTANT_STRING(s)                                                                               \
    {                                                                                                        \
        (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWCH)(s)                                   \
    }

#define MAKEWORD(a, b)                                                                                       \
    ((WORD)(((BYTE)(((DWORD_PTR)(a)) & 0xff)) | ((WORD)((BYTE)(((DWORD_PTR)(b)) & 0xff))) << 8))
#define MAKELONG(a, b)                                                                                       \
    ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))

#define MAKELANGID(p, s)       ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(lgid)    ((WORD)(lgid)&0x3ff)
#define SUBLANGID(lgid)        ((WORD)(lgid) >> 10)
#define LANG_NEUTRAL           0x00
#define LANG_ENGLISH           0x09
#define LANG_JAPANESE          0x11
#define SUBLANG_NEUTRAL        0x00
#define SUBLANG_DEFAULT        0x01
#define SUBLANG_ENGLISH_US     0x01
#define SUBLANG_JAPANESE_JAPAN 0x01

// Access rights shared by both worlds.
#define DELETE                   0x00010000L
#define READ_CONTROL             0x00020000L
#define WRITE_DAC                0x00040000L
#define WRITE_OWNER              0x00080000L
#define SYNCHRONIZE              0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ     READ_CONTROL
#define STANDARD_RIGHTS_WRITE    READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE  READ_CONTROL
#define STANDARD_RIGHTS_ALL      0x001F0000L
#define SPECIFIC_RIGHTS_ALL      0x0000FFFFL
#define MAXIMUM_ALLOWED          0x02000000L
#define GENERIC_READ             0x80000000L
#define GENERIC_WRITE            0x40000000L
#define GENERIC_EXECUTE          0x20000000L
#define GENERIC_ALL              0x10000000L

#define KEY_QUERY_VALUE        0x0001
#define KEY_SET_VALUE          0x0002
#define KEY_CREATE_SUB_KEY     0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY             0x0010
#define KEY_CREATE_LINK        0x0020
#define KEY_WOW64_64KEY        0x0100
#define KEY_WOW64_32KEY        0x0200
#define KEY_READ                                                                                             \
    ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE   ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                                       \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS |  \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                        \
     (~SYNCHRONIZE))

// Registry value types.
#define REG_NONE                       0
#define REG_SZ                         1
#define REG_EXPAND_SZ                  2
#define REG_BINARY                     3
#define REG_DWORD                      4
#define REG_DWORD_LITTLE_ENDIAN        4
#define REG_DWORD_BIG_ENDIAN           5
#define REG_LINK                       6
#define REG_MULTI_SZ                   7
#define REG_RESOURCE_LIST              8
#define REG_FULL_RESOURCE_DESCRIPTOR   9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD                      11
#define REG_QWORD_LITTLE_ENDIAN        11

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE     0x00000001L
#define REG_CREATED_NEW_KEY     0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
