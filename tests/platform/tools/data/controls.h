// Identifiers of the resource compiler's test script.
#pragma once

#define IDD_ALL_CONTROLS 100
#define IDD_CLASSIC      101
#define IDD_EMPTY        0x66

#define IDC_FIRST   1000
#define IDOK_BUTTON 1

#define IDS_FIRST 14 /* a block boundary two strings in */
