#include "LogWriter.h"

#include <strsafe.h>
#include <string.h>

CLogWriter* sgLogWriter = NULL;

namespace
{

class CLineBuilder
{
  public:
    CLineBuilder(LPSTR pszLine, size_t cchLine) : m_psz(pszLine), m_cch(cchLine), m_len(0) {}

    void Char(char c)
    {
        if (m_len + 1 < m_cch)
        {
            m_psz[m_len++] = c;
        }
    }
    void Text(LPCSTR psz)
    {
        while (*psz != 0 && m_len + 1 < m_cch)
        {
            m_psz[m_len++] = *psz++;
        }
    }
    // A decimal number right-aligned in iWidth characters, padded with cPad ("%3u", "%02d", ...).
    void Number(long long llValue, int iWidth, char cPad)
    {
        char szDigits[24];
        int n = 0;
        bool bNegative = llValue < 0;
        unsigned long long ullValue = bNegative ? 0ull - static_cast<unsigned long long>(llValue)
                                                : static_cast<unsigned long long>(llValue);
        do
        {
            szDigits[n++] = static_cast<char>('0' + ullValue % 10);
            ullValue /= 10;
        } while (ullValue != 0);
        if (bNegative)
        {
            if (cPad == '0')
            {
                Char('-');
                --iWidth;
            }
            else
            {
                szDigits[n++] = '-';
            }
        }
        for (int i = n; i < iWidth; ++i)
        {
            Char(cPad);
        }
        while (n > 0)
        {
            Char(szDigits[--n]);
        }
    }
    size_t Finish()
    {
        if (m_cch > 0)
        {
            m_psz[m_len] = 0;
        }
        return m_len;
    }

  private:
    LPSTR m_psz;
    size_t m_cch;
    size_t m_len;
};

LPCSTR LevelMark(LONG lLevel)
{
    switch (lLevel)
    {
    case LOG_LEVEL_INFO:
        return "Inf";
    case LOG_LEVEL_ERROR:
        return "Err";
    default:
        return "";
    }
}

} // namespace

CLogWriter::CLogWriter(LPCSTR pszLogFilePath, int iMode) : m_iMode(iMode), m_cSeparator(':')
{
    if (m_iMode < LOG_MODE_OFF || m_iMode > LOG_MODE_DEBUG_ERROR)
    {
        m_iMode = LOG_MODE_OFF;
    }
    if (FAILED(StringCchCopyA(m_szLogFilePath, sizeof(m_szLogFilePath),
                              pszLogFilePath != NULL ? pszLogFilePath : "")))
    {
        // A path longer than the settings allow names no file the library would write.
        m_szLogFilePath[0] = 0;
    }
    // Without either mutex the log stays unwritten: writing it unguarded could interleave lines.
    if (!m_LogMutex.Create(LOG_MUTEX_NAME))
    {
        m_LogMutex.Create(LOG_MUTEX_FALLBACK_NAME);
    }
}

CLogWriter::~CLogWriter()
{
    WriteBlankLine(m_iMode);
    m_LogMutex.Close();
}

BOOL CLogWriter::Passes(LONG lLevel) const
{
    if (m_iMode == LOG_MODE_OFF || m_szLogFilePath[0] == 0)
    {
        return FALSE;
    }
    if (m_iMode >= LOG_MODE_DEBUG_INFO)
    {
        return lLevel >= m_iMode - 2 && lLevel <= 3;
    }
    return lLevel >= m_iMode && lLevel <= 3;
}

size_t CLogWriter::FormatLine(LPSTR pszLine, size_t cchLine, char cSeparator, const SYSTEMTIME& st,
                              DWORD dwProcessId, DWORD dwThreadId, LONG lSourceLine, LONG lLevel,
                              LPCSTR pszTag, LPCSTR pszText)
{
    CLineBuilder line(pszLine, cchLine);
    line.Number(st.wYear, 4, '0');
    line.Char(cSeparator);
    line.Number(st.wMonth, 2, '0');
    line.Char(cSeparator);
    line.Number(st.wDay, 2, '0');
    line.Char(cSeparator);
    line.Number(st.wHour, 2, '0');
    line.Char(cSeparator);
    line.Number(st.wMinute, 2, '0');
    line.Char(cSeparator);
    line.Number(st.wSecond, 2, '0');
    line.Char(cSeparator);
    line.Number(st.wMilliseconds, 3, ' ');
    line.Char(cSeparator);
    line.Number(static_cast<int>(dwProcessId), 5, ' ');
    line.Char(cSeparator);
    line.Number(static_cast<int>(dwThreadId), 5, ' ');
    line.Char(cSeparator);
    line.Number(lSourceLine, 5, ' ');
    line.Char(cSeparator);
    line.Text(LevelMark(lLevel));
    line.Char(cSeparator);
    line.Text(pszTag != NULL ? pszTag : "");
    line.Text(": ");
    line.Text(pszText != NULL ? pszText : "");
    return line.Finish();
}

int CLogWriter::Emit(LPCSTR pszLine, size_t cchLine)
{
    if (m_iMode >= LOG_MODE_DEBUG_INFO)
    {
        char szOutput[LOG_MAX_LINE + 2];
        memcpy(szOutput, pszLine, cchLine);
        szOutput[cchLine] = '\n';
        szOutput[cchLine + 1] = 0;
        OutputDebugStringA(szOutput);
        return 1;
    }
    // Appending in text mode: every write lands at the end of the file and a line ends in CR LF.
    HANDLE hFile = CreateFileA(m_szLogFilePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        return 0;
    }
    char szOutput[LOG_MAX_LINE + 2];
    memcpy(szOutput, pszLine, cchLine);
    szOutput[cchLine] = '\r';
    szOutput[cchLine + 1] = '\n';
    DWORD dwWritten = 0;
    BOOL bWritten = WriteFile(hFile, szOutput, static_cast<DWORD>(cchLine + 2), &dwWritten, NULL);
    CloseHandle(hFile);
    return bWritten ? 1 : 0;
}

int CLogWriter::Write(LONG lLevel, LPCSTR pszText, LPCSTR pszTag, LONG lSourceLine)
{
    if (!m_LogMutex.IsValid())
    {
        return 0;
    }
    // Logging never changes what the caller's next GetLastError reports.
    DWORD dwSavedError = GetLastError();
    m_LogMutex.Lock();
    int iResult = 0;
    if (Passes(lLevel))
    {
        SYSTEMTIME st;
        GetLocalTime(&st);
        char szLine[LOG_MAX_LINE];
        size_t cchLine = FormatLine(szLine, sizeof(szLine), m_cSeparator, st, GetCurrentProcessId(),
                                    GetCurrentThreadId(), lSourceLine, lLevel, pszTag, pszText);
        iResult = Emit(szLine, cchLine);
    }
    m_LogMutex.Unlock();
    SetLastError(dwSavedError);
    return iResult;
}

int CLogWriter::WriteBlankLine(LONG lLevel)
{
    if (!m_LogMutex.IsValid())
    {
        return 0;
    }
    DWORD dwSavedError = GetLastError();
    m_LogMutex.Lock();
    int iResult = Passes(lLevel) ? Emit("", 0) : 0;
    m_LogMutex.Unlock();
    SetLastError(dwSavedError);
    return iResult;
}

void OstrixLog(LONG lLevel, LPCSTR pszTag, LONG lSourceLine, LPCSTR pszFormat, ...)
{
    if (sgLogWriter == NULL)
    {
        return;
    }
    char szText[LOG_MAX_LINE];
    va_list args;
    va_start(args, pszFormat);
    StringCchVPrintfA(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    sgLogWriter->Write(lLevel, szText, pszTag, lSourceLine);
}
