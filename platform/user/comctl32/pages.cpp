// Property sheet pages: CreatePropertySheetPageA, DestroyPropertySheetPage and the page table (see
// comctl32.h for what a page is and who owns it).
#include "comctl32/comctl32.h"

#include <commctrl.h>

#include <string.h>

#include <mutex>
#include <set>

namespace winsim::comctl32
{
namespace
{

// The pages alive in this process, allocated once and never freed (see internal.h).
std::mutex& PagesLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::set<HPROPSHEETPAGE>& Pages()
{
    static auto* pages = new std::set<HPROPSHEETPAGE>;
    return *pages;
}

bool IsIntResource(LPCSTR name)
{
    return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0;
}

void Notify(HPROPSHEETPAGE page, UINT message)
{
    PROPSHEETPAGEA* copy = page->Copy();
    if ((copy->dwFlags & PSP_USECALLBACK) != 0 && copy->pfnCallback != nullptr)
    {
        copy->pfnCallback(nullptr, message, copy);
    }
}

// The end of a page taken out of the table.
void Finish(HPROPSHEETPAGE page)
{
    Notify(page, PSPCB_RELEASE);
    PROPSHEETPAGEA* copy = page->Copy();
    if ((copy->dwFlags & PSP_USEREFPARENT) != 0 && copy->pcRefParent != nullptr)
    {
        --*copy->pcRefParent;
    }
    delete page;
}

} // namespace

bool IsPage(HPROPSHEETPAGE page)
{
    std::lock_guard<std::mutex> guard(PagesLock());
    return Pages().count(page) != 0;
}

bool TakePage(HPROPSHEETPAGE page, HWND sheet)
{
    std::lock_guard<std::mutex> guard(PagesLock());
    if (Pages().count(page) == 0 || page->sheet != nullptr)
    {
        return false;
    }
    page->sheet = sheet;
    return true;
}

void ReleasePage(HPROPSHEETPAGE page)
{
    {
        std::lock_guard<std::mutex> guard(PagesLock());
        Pages().erase(page);
    }
    Finish(page);
}

} // namespace winsim::comctl32

using namespace winsim::comctl32;

extern "C"
{

    // Copies the caller's record (dwSize bytes, at least the first version's) and the strings it
    // points at; PSPCB_ADDREF goes to pages of version 2 and later, as comctl32 5.80 and later do.
    HPROPSHEETPAGE WINAPI CreatePropertySheetPageA(LPCPROPSHEETPAGEA constPropSheetPagePointer)
    {
        if (constPropSheetPagePointer == nullptr ||
            constPropSheetPagePointer->dwSize < PROPSHEETPAGEA_V1_SIZE)
        {
            return nullptr;
        }
        DWORD size = constPropSheetPagePointer->dwSize;
        size_t allocated = size > sizeof(PROPSHEETPAGEA) ? size : sizeof(PROPSHEETPAGEA);
        auto* page = new _PSP;
        page->storage = std::make_unique<uint64_t[]>((allocated + sizeof(uint64_t) - 1) / sizeof(uint64_t));
        memcpy(page->storage.get(), constPropSheetPagePointer, size);
        PROPSHEETPAGEA* copy = page->Copy();
        if ((copy->dwFlags & PSP_USETITLE) != 0 && copy->pszTitle != nullptr &&
            !IsIntResource(copy->pszTitle))
        {
            page->title = copy->pszTitle;
            copy->pszTitle = page->title.c_str();
        }
        if ((copy->dwFlags & PSP_DLGINDIRECT) == 0 && copy->pszTemplate != nullptr &&
            !IsIntResource(copy->pszTemplate))
        {
            page->templateName = copy->pszTemplate;
            copy->pszTemplate = page->templateName.c_str();
        }
        if ((copy->dwFlags & PSP_USEREFPARENT) != 0 && copy->pcRefParent != nullptr)
        {
            ++*copy->pcRefParent;
        }
        {
            std::lock_guard<std::mutex> guard(PagesLock());
            Pages().insert(page);
        }
        if (size > PROPSHEETPAGEA_V1_SIZE)
        {
            Notify(page, PSPCB_ADDREF);
        }
        return page;
    }

    // A page no sheet took. A page a sheet holds is the sheet's to release: it fails here.
    BOOL WINAPI DestroyPropertySheetPage(HPROPSHEETPAGE hPSPage)
    {
        {
            std::lock_guard<std::mutex> guard(PagesLock());
            if (Pages().count(hPSPage) == 0 || hPSPage->sheet != nullptr)
            {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            Pages().erase(hPSPage);
        }
        Finish(hPSPage);
        return TRUE;
    }

    void WINAPI InitCommonControls(void) {}

    BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce)
    {
        if (picce == nullptr || picce->dwSize != sizeof(INITCOMMONCONTROLSEX))
        {
            return FALSE;
        }
        return TRUE;
    }
}
