// String identifiers of the string probe DLL (Strings.rc).
#pragma once

#define IDS_PORT     1  // Japanese and English
#define IDS_JAPANESE 2  // Japanese only
#define IDS_MISSING  3  // in the block, but empty
#define IDS_LAST     17 // the second block
