// A property page provider as a device's driver package registers one (EnumPropPages32 =
// "WinsimTestPages.dll,TestPagesProvider"): on each request it creates the pages the test asked
// for from an in-memory dialog template, hands each to the add-page callback and destroys the
// ones the callback refuses. Each page's data lives until its PSPCB_RELEASE.
#include "TestPageProvider.h"

#include <prsht.h>

namespace
{

TestPagesRecord g_log;

// The page's data, made by the provider and freed by the page callback at PSPCB_RELEASE.
struct PageData
{
    int index;
};

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

INT_PTR CALLBACK PageProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
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
    case PSPCB_RELEASE:
        g_log.releases++;
        delete reinterpret_cast<PageData*>(ppsp->lParam);
        break;
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
        psp.lParam = reinterpret_cast<LPARAM>(new PageData{i});
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
