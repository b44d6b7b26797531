#include "LogWriter.h"

#include <strsafe.h>
#include <string.h>

CLogWriter* sgLogWriter = NULL;

namespace
{

const char g_szDigitPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536"
                              "37383940414243444546474849505152535455565758596061626364656667686970717273"
                              "7475767778798081828384858687888990919293949596979899";

// Writes the digits of value so that they end just before pchEnd; returns where they start.
template <typename T>
char* PutDigitsBefore(char* pchEnd, T value)
{
    while (value >= 100)
    {
        unsigned uPair = static_cast<unsigned>(value % 100) * 2;
        value /= 100;
        *--pchEnd = g_szDigitPairs[uPair + 1];
        *--pchEnd = g_szDigitPairs[uPair];
    }
    if (value >= 10)
    {
        *--pchEnd = g_szDigitPairs[value * 2 + 1];
        *--pchEnd = g_szDigitPairs[value * 2];
    }
    else
    {
        *--pchEnd = static_cast<char>('0' + value);
    }
    return pchEnd;
}

// PutNumber for a number that does not fit its field, or a negative one.
char* PutWideNumber(char* pch, long long llValue, int iWidth, char cPad)
{
    bool bNegative = llValue < 0;
    unsigned long long ullValue = bNegative ? 0ull - static_cast<unsigned long long>(llValue)
                                            : static_cast<unsigned long long>(llValue);
    char szDigits[20];
    char* pchDigits = PutDigitsBefore(szDigits + sizeof(szDigits), ullValue);
    int cDigits = static_cast<int>(szDigits + sizeof(szDigits) - pchDigits);
    int cPadding = iWidth - cDigits - (bNegative ? 1 : 0);
    // The sign goes before zeros and after blanks.
    if (bNegative && cPad == '0')
    {
        *pch++ = '-';
    }
    for (int i = 0; i < cPadding; ++i)
    {
        *pch++ = cPad;
    }
    if (bNegative && cPad != '0')
    {
        *pch++ = '-';
    }
    memcpy(pch, pchDigits, static_cast<size_t>(cDigits));
    return pch + cDigits;
}

// Writes a decimal number right-aligned in iWidth (1..5) characters, padded with cPad ("%3u",
// "%02d", ...), at pch without a bounds check; returns the end. A number wider than its field
// takes more characters, 21 at most; pch must have room for 21, and for 8 in any case.
inline char* PutNumber(char* pch, long long llValue, int iWidth, char cPad)
{
    static const long long kFieldLimits[] = {1, 10, 100, 1000, 10000, 100000};
    if (llValue < 0 || llValue >= kFieldLimits[iWidth])
    {
        return PutWideNumber(pch, llValue, iWidth, cPad);
    }
    // The usual case: the number fits its field. Two- and four-digit fields with leading zeros (the
    // date and time) are one or two digit pairs.
    unsigned uValue = static_cast<unsigned>(llValue);
    if (cPad == '0' && iWidth == 2)
    {
        memcpy(pch, g_szDigitPairs + uValue * 2, 2);
        return pch + 2;
    }
    if (cPad == '0' && iWidth == 4)
    {
        memcpy(pch, g_szDigitPairs + uValue / 100 * 2, 2);
        memcpy(pch + 2, g_szDigitPairs + uValue % 100 * 2, 2);
        return pch + 4;
    }
    // Otherwise the field is padded whole with one 8-byte store (a loop of a few characters here
    // costs more than the rest of the number), then the digits overwrite its end.
    unsigned long long ullPadding = 0x0101010101010101ull * static_cast<unsigned char>(cPad);
    memcpy(pch, &ullPadding, sizeof(ullPadding));
    char* pchEnd = pch + iWidth;
    PutDigitsBefore(pchEnd, uValue);
    return pchEnd;
}

// Builds a line from blocks of text; everything past cchLine - 1 characters is cut.
class CLineBuilder
{
  public:
    CLineBuilder(LPSTR pszLine, size_t cchLine) : m_psz(pszLine), m_cch(cchLine), m_len(0) {}

    void Block(const char* pch, size_t cch)
    {
        size_t cchRoom = Room();
        if (cch > cchRoom)
        {
            cch = cchRoom;
        }
        memcpy(m_psz + m_len, pch, cch);
        m_len += cch;
    }
    void Text(LPCSTR psz)
    {
        // No more of the text is read than can fit.
        Block(psz, strnlen(psz, Room()));
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
    size_t Room() const { return m_len + 1 < m_cch ? m_cch - 1 - m_len : 0; }

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
    // The ten numbers, their separators and the level mark first, unchecked: a number takes at most
    // 21 characters (and needs room for 21), the mark 3.
    char szHead[10 * 21 + 11 + 3];
    char* pch = szHead;
    pch = PutNumber(pch, st.wYear, 4, '0');
    *pch++ = cSeparator;
    pch = PutNumber(pch, st.wMonth, 2, '0');
    *pch++ = cSeparator;
    pch = PutNumber(pch, st.wDay, 2, '0');
    *pch++ = cSeparator;
    pch = PutNumber(pch, st.wHour, 2, '0');
    *pch++ = cSeparator;
    pch = PutNumber(pch, st.wMinute, 2, '0');
    *pch++ = cSeparator;
    pch = PutNumber(pch, st.wSecond, 2, '0');
    *pch++ = cSeparator;
    pch = PutNumber(pch, st.wMilliseconds, 3, ' ');
    *pch++ = cSeparator;
    pch = PutNumber(pch, static_cast<int>(dwProcessId), 5, ' ');
    *pch++ = cSeparator;
    pch = PutNumber(pch, static_cast<int>(dwThreadId), 5, ' ');
    *pch++ = cSeparator;
    pch = PutNumber(pch, lSourceLine, 5, ' ');
    *pch++ = cSeparator;
    for (LPCSTR pszMark = LevelMark(lLevel); *pszMark != 0; ++pszMark)
    {
        *pch++ = *pszMark;
    }
    *pch++ = cSeparator;

    CLineBuilder line(pszLine, cchLine);
    line.Block(szHead, static_cast<size_t>(pch - szHead));
    line.Text(pszTag != NULL ? pszTag : "");
    line.Block(": ", 2);
    line.Text(pszText != NULL ? pszText : "");
    return line.Finish();
}

int CLogWriter::Emit(LPSTR pszLine, size_t cchLine)
{
    if (m_iMode >= LOG_MODE_DEBUG_INFO)
    {
        pszLine[cchLine] = '\n';
        pszLine[cchLine + 1] = 0;
        OutputDebugStringA(pszLine);
        return 1;
    }
    // Appending in text mode: every write lands at the end of the file and a line ends in CR LF.
    HANDLE hFile = CreateFileA(m_szLogFilePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        return 0;
    }
    pszLine[cchLine] = '\r';
    pszLine[cchLine + 1] = '\n';
    DWORD dwWritten = 0;
    BOOL bWritten = WriteFile(hFile, pszLine, static_cast<DWORD>(cchLine + 2), &dwWritten, NULL);
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
        // Room for the line break after the longest line.
        char szLine[LOG_MAX_LINE + 2];
        size_t cchLine = FormatLine(szLine, LOG_MAX_LINE, m_cSeparator, st, GetCurrentProcessId(),
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
    char szLine[2];
    int iResult = Passes(lLevel) ? Emit(szLine, 0) : 0;
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
