// A small program that loads the real Cassel.dll under Wine and prints what a resource viewer and
// Device Manager would see of it: its eight texts (as UTF-8), its dialog template 102, and what its
// provider answers to requests it must refuse.
//   CasselProbe.exe strings | dialog | refusals
#include <windows.h>
#include <prsht.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>

namespace
{
typedef BOOL(WINAPI* ProviderFn)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);
typedef INT_PTR(CALLBACK* DlgProcFn)(HWND, UINT, WPARAM, LPARAM);
typedef UINT(CALLBACK* PageProcFn)(HWND, UINT, LPPROPSHEETPAGEA);

const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

void PrintWide(const WCHAR* text, int length)
{
    char utf8[4096];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, utf8, sizeof(utf8) - 1, NULL, NULL);
    utf8[bytes > 0 ? bytes : 0] = 0;
    // Control characters are shown escaped so that the line stays one line.
    for (const char* p = utf8; *p != 0; ++p)
    {
        if (*p == '\r')
        {
            fputs("\\r", stdout);
        }
        else if (*p == '\n')
        {
            fputs("\\n", stdout);
        }
        else
        {
            fputc(*p, stdout);
        }
    }
}

// The texts 0..7: "<id> <text>" each, or "<id> missing".
int PrintStrings(HMODULE module)
{
    for (UINT id = 0; id < 8; ++id)
    {
        const WCHAR* text = NULL;
        int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
        printf("%u ", id);
        if (length <= 0)
        {
            printf("missing\n");
            continue;
        }
        PrintWide(text, length);
        printf("\n");
    }
    return 0;
}

// A name-or-ordinal field of a dialog template; returns the field's end.
const WORD* ReadSzOrOrd(const WORD* p, char* out, size_t capacity)
{
    if (*p == 0xFFFF)
    {
        snprintf(out, capacity, "#%u", p[1]);
        return p + 2;
    }
    const WCHAR* text = reinterpret_cast<const WCHAR*>(p);
    int length = lstrlenW(text);
    int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text, length, out, static_cast<int>(capacity) - 1, NULL, NULL);
    out[bytes > 0 ? bytes : 0] = 0;
    return p + length + 1;
}

const WORD* AlignDword(const WORD* p)
{
    return reinterpret_cast<const WORD*>((reinterpret_cast<ULONG_PTR>(p) + 3) & ~static_cast<ULONG_PTR>(3));
}

// Dialog 102 in Japanese: its frame, then one line per control.
int PrintDialog(HMODULE module)
{
    HRSRC resource =
        FindResourceExW(module, MAKEINTRESOURCEW(5) /* RT_DIALOG */, MAKEINTRESOURCEW(102), kJapanese);
    if (resource == NULL)
    {
        printf("dialog 102 missing\n");
        return 1;
    }
    const WORD* p = static_cast<const WORD*>(LockResource(LoadResource(module, resource)));
    if (p == NULL || p[0] != 1 || p[1] != 0xFFFF)
    {
        printf("dialog 102 is not an extended template\n");
        return 1;
    }
    DWORD style = *reinterpret_cast<const DWORD*>(p + 6);
    WORD items = p[8];
    short cx = static_cast<short>(p[11]);
    short cy = static_cast<short>(p[12]);
    p += 13;
    char menu[64], windowClass[64], caption[128], font[64];
    p = ReadSzOrOrd(p, menu, sizeof(menu));
    p = ReadSzOrOrd(p, windowClass, sizeof(windowClass));
    p = ReadSzOrOrd(p, caption, sizeof(caption));
    WORD pointSize = 0;
    font[0] = 0;
    if ((style & DS_SETFONT) != 0)
    {
        pointSize = p[0];
        p = ReadSzOrOrd(p + 3, font, sizeof(font));
    }
    printf("dialog style %08lX size %d,%d caption \"%s\" font %u \"%s\" items %u\n", style, cx, cy, caption,
           pointSize, font, items);
    for (WORD i = 0; i < items; ++i)
    {
        p = AlignDword(p);
        DWORD itemStyle = *reinterpret_cast<const DWORD*>(p + 4);
        short x = static_cast<short>(p[6]), y = static_cast<short>(p[7]);
        short w = static_cast<short>(p[8]), h = static_cast<short>(p[9]);
        LONG id = *reinterpret_cast<const LONG*>(p + 10);
        p += 12;
        char itemClass[64], text[128];
        p = ReadSzOrOrd(p, itemClass, sizeof(itemClass));
        p = ReadSzOrOrd(p, text, sizeof(text));
        WORD extra = *p++;
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
        printf("control %ld class %s text \"%s\" at %d,%d size %d,%d style %08lX\n", id, itemClass, text, x,
               y, w, h, itemStyle);
    }
    return 0;
}

BOOL CALLBACK AcceptPage(HPROPSHEETPAGE, LPARAM lParam)
{
    ++*reinterpret_cast<int*>(lParam);
    return TRUE;
}

// What the exports answer without a device: no page for requests the provider must refuse.
int PrintRefusals(HMODULE module)
{
    ProviderFn provider =
        reinterpret_cast<ProviderFn>(reinterpret_cast<void*>(GetProcAddress(module, "ZT730kCasselProvider")));
    DlgProcFn dialog =
        reinterpret_cast<DlgProcFn>(reinterpret_cast<void*>(GetProcAddress(module, "ZT730kDlgProc")));
    PageProcFn page = reinterpret_cast<PageProcFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "ZT730kPropSheetPageProc")));
    if (provider == NULL || dialog == NULL || page == NULL)
    {
        printf("exports missing\n");
        return 1;
    }
    int added = 0;
    SP_DEVINFO_DATA device = {sizeof(device)};
    SP_PROPSHEETPAGE_REQUEST request = {sizeof(request), SPPSR_ENUM_BASIC_DEVICE_PROPERTIES,
                                        reinterpret_cast<HDEVINFO>(1), &device};
    printf("basic %d\n", provider(&request, AcceptPage, reinterpret_cast<LPARAM>(&added)));
    request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
    request.DeviceInfoData = NULL;
    printf("no-device %d\n", provider(&request, AcceptPage, reinterpret_cast<LPARAM>(&added)));
    request.DeviceInfoData = &device;
    request.DeviceInfoSet = INVALID_HANDLE_VALUE;
    printf("no-set %d\n", provider(&request, AcceptPage, reinterpret_cast<LPARAM>(&added)));
    printf("pages %d\n", added);
    printf("create %u\n", page(NULL, PSPCB_CREATE, NULL));
    printf("command %d help %d notify %d\n", static_cast<int>(dialog(NULL, WM_COMMAND, 0, 0)),
           static_cast<int>(dialog(NULL, WM_HELP, 0, 0)), static_cast<int>(dialog(NULL, WM_NOTIFY, 0, 0)));
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        printf("usage: CasselProbe strings|dialog|refusals\n");
        return 2;
    }
    HMODULE module = LoadLibraryA(".\\Cassel.dll");
    if (module == NULL)
    {
        printf("LoadLibrary failed %lu\n", GetLastError());
        return 1;
    }
    if (strcmp(argv[1], "strings") == 0)
    {
        return PrintStrings(module);
    }
    if (strcmp(argv[1], "dialog") == 0)
    {
        return PrintDialog(module);
    }
    if (strcmp(argv[1], "refusals") == 0)
    {
        return PrintRefusals(module);
    }
    return 2;
}
