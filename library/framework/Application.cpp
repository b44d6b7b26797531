#include "Application.h"

namespace
{
// Constant-initialised: the module's entry point may run before any C++ initialiser of the module.
CApplication* g_pApp = NULL;
} // namespace

CApplication::CApplication() : m_hInstance(NULL)
{
    g_pApp = this;
}

CApplication::~CApplication()
{
    if (g_pApp == this)
    {
        g_pApp = NULL;
    }
}

BOOL CApplication::InitInstance()
{
    return TRUE;
}

int CApplication::ExitInstance()
{
    return 0;
}

CApplication* FwGetApp()
{
    return g_pApp;
}

BOOL FwStartApp(HINSTANCE hInstance)
{
    if (g_pApp == NULL)
    {
        return FALSE;
    }
    g_pApp->m_hInstance = hInstance;
    return g_pApp->InitInstance();
}

int FwStopApp()
{
    return g_pApp != NULL ? g_pApp->ExitInstance() : 0;
}
