// Resource identifiers of Cassel.dll, shared by the resource script and the code.
#pragma once

// String table (Japanese).
#define IDS_OUT_OF_MEMORY    0 // fallback error box text
#define IDS_NAME_IN_USE      1 // question: the COM name is held by another device
#define IDS_PORTS_CAPTION    2 // fallback error box caption
#define IDS_PORT_OPEN        3 // question: the port is open in another application
#define IDS_PROPERTIES_TITLE 4 // caption of the questions and the error box
#define IDS_RENAME_FAILED    5 // error box: the DOS name could not be moved
#define IDS_FRIENDLY_NAME    6 // "%s (%s)": device description and COM name
#define IDS_IN_USE_SUFFIX    7 // appended to list entries of claimed numbers

// The port settings page.
#define IDD_PORT_SETTINGS 102
#define IDC_COM_NUMBER    1001
