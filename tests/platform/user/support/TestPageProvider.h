// The test property page provider (WinsimTestPages.dll): what it was asked for and what happened
// to its pages, kept in the DLL and read by the tests through TestPagesLog.
#pragma once

#include <windows.h>
#include <setupapi.h>

#define TEST_PAGES_DLL "WinsimTestPages.dll"

struct TestPagesRecord
{
    // Set by the test before the provider is called.
    int pagesToOffer; // pages the provider creates and offers on each call
    // What the provider saw and did.
    int providerCalls;
    SP_PROPSHEETPAGE_REQUEST request; // the last request, as given
    int pagesAdded;                   // offers the add-page callback accepted
    int pagesRefused;                 // offers it refused (the provider destroyed those pages)
    int addRefs;                      // PSPCB_ADDREF calls
    int creates;                      // PSPCB_CREATE calls
    int releases;                     // PSPCB_RELEASE calls
    // What the pages' dialogs saw in a sheet.
    int initDialogs;        // WM_INITDIALOG calls
    int initWithPageData;   // of those, the ones whose PROPSHEETPAGE carried the data the provider made
    int applies;            // PSN_APPLY notifications
    int appliesOnOk;        // of those, the ones for OK (PSHNOTIFY lParam TRUE)
    char titleAtApply[128]; // the sheet's title when a page applied, before the page renamed it
};

// Exported: the log of this module (clears nothing).
typedef TestPagesRecord*(WINAPI* PTEST_PAGES_LOG)(void);
