// The library's diagnostic log: one line per call, written to a file or to the debugger output,
// serialised between all processes by a named mutex.
#pragma once

#include <windows.h>

#include "framework/Sync.h"

// The eight-character tags of log lines.
#define LOG_TAG_ENTER    "Enter   "
#define LOG_TAG_EXIT     "Exit    "
#define LOG_TAG_INFO     "Info    "
#define LOG_TAG_ERRINFO  "ErrInfo "
#define LOG_TAG_ERREXIT  "ErrExit "
#define LOG_TAG_CSLOCK   "CSLock  "
#define LOG_TAG_CSUNLOCK "CSUnlock"

// Message levels.
#define LOG_LEVEL_INFO  0
#define LOG_LEVEL_ERROR 1

// Log modes ("Logging" in the settings file).
#define LOG_MODE_OFF         (-1)
#define LOG_MODE_FILE_INFO   0
#define LOG_MODE_FILE_ERROR  1
#define LOG_MODE_DEBUG_INFO  2
#define LOG_MODE_DEBUG_ERROR 3

// Names of the log mutex; the second serves when the first cannot be created.
#define LOG_MUTEX_NAME          "20151230.Ostrix.sgLogName.m_LogMutex"
#define LOG_MUTEX_FALLBACK_NAME "20180417.Ostrix.sgLogName.m_LogMutex"

// Longest line the writer produces; longer messages are cut.
#define LOG_MAX_LINE 2048

class CLogWriter
{
  public:
    // iMode -1..3 (other values switch logging off). Creates the log mutex.
    CLogWriter(LPCSTR pszLogFilePath, int iMode);
    // Writes the closing blank line at the configured mode's level, then closes the mutex.
    ~CLogWriter();
    CLogWriter(const CLogWriter&) = delete;
    CLogWriter& operator=(const CLogWriter&) = delete;

    // Writes "tag: text" as one line. Returns 1 when the line was written, 0 when it was filtered
    // out or could not be written.
    int Write(LONG lLevel, LPCSTR pszText, LPCSTR pszTag, LONG lSourceLine);
    // Writes an empty line under the same rules.
    int WriteBlankLine(LONG lLevel);

    // Builds a line without its line break: date, time, milliseconds, process, thread, call site,
    // level mark and message, joined by cSeparator. Returns its length (cut to cchLine - 1).
    static size_t FormatLine(LPSTR pszLine, size_t cchLine, char cSeparator, const SYSTEMTIME& st,
                             DWORD dwProcessId, DWORD dwThreadId, LONG lSourceLine, LONG lLevel,
                             LPCSTR pszTag, LPCSTR pszText);

    int GetMode() const { return m_iMode; }
    BOOL HasMutex() const { return m_LogMutex.IsValid(); }

  private:
    BOOL Passes(LONG lLevel) const;
    // Writes a line of cchLine characters; pszLine has room for two more (the line break).
    int Emit(LPSTR pszLine, size_t cchLine);

    char m_szLogFilePath[MAX_PATH + 1];
    int m_iMode;
    char m_cSeparator;
    CNamedMutex m_LogMutex;
};

// The library's log writer, NULL while the library is not loaded.
extern CLogWriter* sgLogWriter;

// Formats a message with a printf-style format (Windows semantics) and writes it through
// sgLogWriter. Every call site passes its own source line.
void OstrixLog(LONG lLevel, LPCSTR pszTag, LONG lSourceLine, LPCSTR pszFormat, ...);

#define OSTRIX_LOG(level, tag, ...) OstrixLog((level), (tag), __LINE__, __VA_ARGS__)
