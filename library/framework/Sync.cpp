#include "Sync.h"

BOOL CNamedMutex::Create(LPCSTR pszName)
{
    Close();
    m_hMutex = CreateMutexA(NULL, FALSE, pszName);
    return m_hMutex != NULL;
}

BOOL CNamedMutex::Lock()
{
    if (m_hMutex == NULL)
    {
        return FALSE;
    }
    // An abandoned mutex is owned by the caller all the same.
    DWORD dwResult = WaitForSingleObject(m_hMutex, INFINITE);
    return dwResult == WAIT_OBJECT_0 || dwResult == WAIT_ABANDONED;
}

BOOL CNamedMutex::Unlock()
{
    return m_hMutex != NULL && ReleaseMutex(m_hMutex);
}

void CNamedMutex::Close()
{
    if (m_hMutex != NULL)
    {
        CloseHandle(m_hMutex);
        m_hMutex = NULL;
    }
}
