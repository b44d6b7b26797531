// A property page provider as a device's driver package registers one (EnumPropPages32 =
// "WinsimTestPages.dll,TestPagesProvider"): on each request it creates the pages the test asked
// for from an in-memory dialog template, hands each to the add-page callback and destroys the
// ones the callback refuses. Each page's data lives until its PSPCB_RELEASE. On OK or Apply a page
// renames the port in its sheet's title from COM3 to COM7, as the port settings page does.
#include "TestPageProvider.h"

#include <prsht.h>

#include <stdio.h>
#include <string.h>

#include <string>

namespace
{

TestPagesRecord g_log;

// The page's data, made by the provider and freed by the page callback at PSPCB_RELEASE.
struct PageData
{
    DWORD magic; // PageMagic while the data lives
    int index;
};

constexpr DWORD PageMagic = 0x7E57DA7A;

// A dialog template with no controls: a DLGTEMPLATE followed by no menu, the default class and an
// empty title.
#pragma pack(push, 2)
const struct
{
    DWORD style;
    DWORD exStyle;
    WORD items;
    short x, y, cx, cy;
    WORD menu, windowClass, title;
} g_template = {WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, 200, 100, 0, 0, 0};
#pragma pack(pop)

void RenamePortInTitle(HWND sheet)
{
    char title[128] = {};
    GetWindowTextA(sheet, title, sizeof(title));
    snprintf(g_log.titleAtApply, sizeof(g_log.titleAtApply), "%s", title);
    std::string text = title;
    size_t at = text.find("COM3");
    if (at != std::string::npos)
    {
        text.replace(at, 4, "COM7");
        SetWindowTextA(sheet, text.c_str());
    }
}

INT_PTR CALLBACK PageProc(HWND hDlg, UINT message, WPARAM, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG: {
        auto* psp = reinterpret_cast<PROPSHEETPAGEA*>(lParam);
        auto* data = reinterpret_cast<PageData*>(psp->lParam);
        g_log.initDialogs++;
        if (data != nullptr && data->magic == PageMagic)
        {
            g_log.initWithPageData++;
        }
        SetWindowLongPtrA(hDlg, DWLP_USER, psp->lParam);
        return TRUE;
    }
    case WM_NOTIFY: {
        auto* notify = reinterpret_cast<PSHNOTIFY*>(lParam);
        if (notify->hdr.code != PSN_APPLY)
        {
            return FALSE;
        }
        g_log.applies++;
        if (notify->lParam)
        {
            g_log.appliesOnOk++;
        }
        RenamePortInTitle(GetParent(hDlg));
        SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, PSNRET_NOERROR);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

UINT CALLBACK PageCallback(HWND, UINT uMsg, LPPROPSHEETPAGEA ppsp)
{
    switch (uMsg)
    {
    case PSPCB_ADDREF:
        g_log.addRefs++;
        break;
    case PSPCB_CREATE:
        g_log.creates++;
        break;
    case PSPCB_RELEASE: {
        g_log.releases++;
        auto* data = reinterpret_cast<PageData*>(ppsp->lParam);
        data->magic = 0;
        delete data;
        break;
    }
    default:
        break;
    }
    return 1;
}

} // namespace

extern "C" TestPagesRecord* WINAPI TestPagesLog()
{
    return &g_log;
}

extern "C" BOOL WINAPI TestPagesProvider(PSP_PROPSHEETPAGE_REQUEST request, LPFNADDPROPSHEETPAGE addPage,
                                         LPARAM lParam)
{
    g_log.providerCalls++;
    g_log.request = *request;
    for (int i = 0; i < g_log.pagesToOffer; ++i)
    {
        PROPSHEETPAGEA psp{};
        psp.dwSize = sizeof(psp);
        psp.dwFlags = PSP_USECALLBACK | PSP_DLGINDIRECT;
        psp.hInstance = nullptr;
        psp.pResource = &g_template;
        psp.pfnDlgProc = PageProc;
        psp.lParam = reinterpret_cast<LPARAM>(new PageData{PageMagic, i});
        psp.pfnCallback = PageCallback;
        HPROPSHEETPAGE page = CreatePropertySheetPageA(&psp);
        if (page == nullptr)
        {
            delete reinterpret_cast<PageData*>(psp.lParam);
            return FALSE;
        }
        if (addPage(page, lParam))
        {
            g_log.pagesAdded++;
        }
        else
        {
            g_log.pagesRefused++;
            DestroyPropertySheetPage(page);
        }
    }
    return TRUE;
}
