// Application framework: synchronisation objects.
#pragma once

#include <windows.h>

// A critical section: re-entrant for the thread that holds it.
class CCriticalSection
{
  public:
    CCriticalSection() { InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }

  private:
    CRITICAL_SECTION m_cs;
};

// A named mutex shared by every process that creates or opens the same name.
class CNamedMutex
{
  public:
    CNamedMutex() : m_hMutex(NULL) {}
    ~CNamedMutex() { Close(); }
    CNamedMutex(const CNamedMutex&) = delete;
    CNamedMutex& operator=(const CNamedMutex&) = delete;

    // Creates the mutex (not initially owned, default security) or opens it when it exists.
    BOOL Create(LPCSTR pszName);
    BOOL IsValid() const { return m_hMutex != NULL; }
    // Waits without limit; TRUE once the calling thread owns the mutex.
    BOOL Lock();
    BOOL Unlock();
    void Close();

  private:
    HANDLE m_hMutex;
};
