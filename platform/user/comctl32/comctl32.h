// comctl32's property sheet pages, shared by the page functions (pages.cpp) and the sheet window
// (propsheet.cpp).
//
// A page (HPROPSHEETPAGE) is the page's own copy of the caller's PROPSHEETPAGEA: dwSize bytes, so
// that data a caller appends behind the structure comes along, as on Windows. The copy is what the
// page callback and the page's WM_INITDIALOG see. A page lives from CreatePropertySheetPageA until
// DestroyPropertySheetPage, or, once a sheet took it, until the sheet is destroyed; either way it
// gets PSPCB_RELEASE exactly once.
//
// The page table's lock guards the table and each page's `sheet` field. Callbacks and dialog
// procedures are never called under it. A page's other fields belong to the thread of the sheet
// that holds it (a sheet is a window: it runs on the thread that made it).
#pragma once

#include <windows.h>
#include <prsht.h>

#include <stdint.h>

#include <memory>
#include <string>

struct _PSP
{
    std::unique_ptr<uint64_t[]> storage; // the copy, at least sizeof(PROPSHEETPAGEA), zero-filled
    std::string title;                   // the title a string pointer named, copied
    std::string templateName;            // the dialog resource a string named, copied
    HWND sheet = nullptr;                // the sheet that holds the page (page table lock)
    HWND dialog = nullptr;               // the page's dialog once the sheet made it

    PROPSHEETPAGEA* Copy() { return reinterpret_cast<PROPSHEETPAGEA*>(storage.get()); }
};

namespace winsim::comctl32
{

// Whether a handle names a page that is alive.
bool IsPage(HPROPSHEETPAGE page);
// Hands a page to a sheet: false when it is not a page or another sheet holds it already.
bool TakePage(HPROPSHEETPAGE page, HWND sheet);
// The end of a page: PSPCB_RELEASE with its copy, the parent's reference count, and the object.
void ReleasePage(HPROPSHEETPAGE page);

} // namespace winsim::comctl32
