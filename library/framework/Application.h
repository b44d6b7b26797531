// Application framework: the application object of a module.
//
// A module has exactly one application object. The module's entry point constructs it, then runs
// the framework's instance initialisation (InitInstance) and, when the module goes away, the exit
// step (ExitInstance) before destroying it.
#pragma once

#include <windows.h>

class CApplication
{
  public:
    CApplication();
    virtual ~CApplication();
    CApplication(const CApplication&) = delete;
    CApplication& operator=(const CApplication&) = delete;

    // Instance initialisation; FALSE makes the module fail to load.
    virtual BOOL InitInstance();
    // Exit step; returns the module's exit code.
    virtual int ExitInstance();

    HINSTANCE m_hInstance;
};

// The module's application object, or NULL outside its lifetime.
CApplication* FwGetApp();

// Framework part of module start and stop: records the instance handle and runs InitInstance,
// or runs ExitInstance.
BOOL FwStartApp(HINSTANCE hInstance);
int FwStopApp();
