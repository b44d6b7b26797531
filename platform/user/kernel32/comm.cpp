// Communications devices: the DCB, time-outs, events, purges, errors, escape functions, modem
// status and properties of a serial port. As on Windows, each function is a thin shim over the
// serial driver's I/O controls (ntddser.h) sent with DeviceIoControl, so that what a driver answers
// is what the program sees, and a failure is the driver's status mapped by RtlNtStatusToDosError.
// BuildCommDCBA only parses text and reaches no device.
//
// What Windows does and its documentation leaves open (the order of SetCommState's controls, what
// GetCommState reports for fParity, the defaults of BuildCommDCBA) is written down in the project's
// serial communications notes (docs/serial-comm-api.md).
#include "internal.h"

#include <ntddser.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

namespace
{

// A buffered control with at most one input and one output structure, answered synchronously
// (on an overlapped handle DeviceIoControl waits for the file's I/O without an OVERLAPPED).
BOOL Control(HANDLE file, DWORD code, const void* input = nullptr, DWORD inputSize = 0,
             void* output = nullptr, DWORD outputSize = 0)
{
    DWORD returned = 0;
    return DeviceIoControl(file, code, const_cast<void*>(input), inputSize, output, outputSize, &returned,
                           nullptr);
}

template <typename T>
BOOL Set(HANDLE file, DWORD code, const T& value)
{
    return Control(file, code, &value, sizeof(value));
}

template <typename T>
BOOL Get(HANDLE file, DWORD code, T& value)
{
    return Control(file, code, nullptr, 0, &value, sizeof(value));
}

// The four settings a DCB stands for, as the driver keeps them.
struct PortSettings
{
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handflow;
};

BOOL ReadSettings(HANDLE file, PortSettings& settings)
{
    return Get(file, IOCTL_SERIAL_GET_BAUD_RATE, settings.baud) &&
           Get(file, IOCTL_SERIAL_GET_LINE_CONTROL, settings.line) &&
           Get(file, IOCTL_SERIAL_GET_CHARS, settings.chars) &&
           Get(file, IOCTL_SERIAL_GET_HANDFLOW, settings.handflow);
}

// The handshake and flow bits of a DCB, as SERIAL_HANDFLOW carries them.
SERIAL_HANDFLOW HandflowOf(const DCB& dcb)
{
    SERIAL_HANDFLOW handflow{};
    switch (dcb.fDtrControl)
    {
    case DTR_CONTROL_ENABLE:
        handflow.ControlHandShake |= SERIAL_DTR_CONTROL;
        break;
    case DTR_CONTROL_HANDSHAKE:
        handflow.ControlHandShake |= SERIAL_DTR_HANDSHAKE;
        break;
    case DTR_CONTROL_DISABLE:
        break;
    default: // 3 names no DTR control: both bits, which the driver refuses
        handflow.ControlHandShake |= SERIAL_DTR_MASK;
        break;
    }
    if (dcb.fOutxCtsFlow)
    {
        handflow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    }
    if (dcb.fOutxDsrFlow)
    {
        handflow.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    }
    if (dcb.fDsrSensitivity)
    {
        handflow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    }
    if (dcb.fAbortOnError)
    {
        handflow.ControlHandShake |= SERIAL_ERROR_ABORT;
    }
    switch (dcb.fRtsControl)
    {
    case RTS_CONTROL_ENABLE:
        handflow.FlowReplace |= SERIAL_RTS_CONTROL;
        break;
    case RTS_CONTROL_HANDSHAKE:
        handflow.FlowReplace |= SERIAL_RTS_HANDSHAKE;
        break;
    case RTS_CONTROL_TOGGLE:
        handflow.FlowReplace |= SERIAL_TRANSMIT_TOGGLE;
        break;
    default:
        break;
    }
    if (dcb.fOutX)
    {
        handflow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    }
    if (dcb.fInX)
    {
        handflow.FlowReplace |= SERIAL_AUTO_RECEIVE;
    }
    if (dcb.fErrorChar)
    {
        handflow.FlowReplace |= SERIAL_ERROR_CHAR;
    }
    if (dcb.fNull)
    {
        handflow.FlowReplace |= SERIAL_NULL_STRIPPING;
    }
    if (dcb.fTXContinueOnXoff)
    {
        handflow.FlowReplace |= SERIAL_XOFF_CONTINUE;
    }
    handflow.XonLimit = dcb.XonLim;
    handflow.XoffLimit = dcb.XoffLim;
    return handflow;
}

void FillDcb(const PortSettings& settings, DCB& dcb)
{
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.baud.BaudRate;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.line.Parity != NO_PARITY;

    ULONG control = settings.handflow.ControlHandShake;
    ULONG flow = settings.handflow.FlowReplace;
    if (control & SERIAL_DTR_HANDSHAKE)
    {
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    }
    else if (control & SERIAL_DTR_CONTROL)
    {
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    }
    dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    switch (flow & SERIAL_RTS_MASK)
    {
    case SERIAL_RTS_CONTROL:
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case SERIAL_RTS_HANDSHAKE:
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case SERIAL_TRANSMIT_TOGGLE:
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        break;
    default:
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        break;
    }
    dcb.fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    dcb.fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb.XonLim = static_cast<WORD>(settings.handflow.XonLimit);
    dcb.XoffLim = static_cast<WORD>(settings.handflow.XoffLimit);

    dcb.ByteSize = settings.line.WordLength;
    dcb.Parity = settings.line.Parity;
    dcb.StopBits = settings.line.StopBits;

    dcb.XonChar = static_cast<char>(settings.chars.XonChar);
    dcb.XoffChar = static_cast<char>(settings.chars.XoffChar);
    dcb.ErrorChar = static_cast<char>(settings.chars.ErrorChar);
    dcb.EofChar = static_cast<char>(settings.chars.EofChar);
    dcb.EvtChar = static_cast<char>(settings.chars.EventChar);
}

// Sends a DCB's settings in the order Windows does: the rate, the two lines the DCB switches
// itself, the line control, the characters and the handshake. The lines' own controls may be
// refused while the old handshake owns the line; the handshake that follows sets the line then.
BOOL ApplySettings(HANDLE file, const PortSettings& settings, ULONG dtrControl, ULONG rtsControl)
{
    if (!Set(file, IOCTL_SERIAL_SET_BAUD_RATE, settings.baud))
    {
        return FALSE;
    }
    if (rtsControl == RTS_CONTROL_ENABLE || rtsControl == RTS_CONTROL_DISABLE)
    {
        Control(file, rtsControl == RTS_CONTROL_ENABLE ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS);
    }
    if (dtrControl == DTR_CONTROL_ENABLE || dtrControl == DTR_CONTROL_DISABLE)
    {
        Control(file, dtrControl == DTR_CONTROL_ENABLE ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR);
    }
    return Set(file, IOCTL_SERIAL_SET_LINE_CONTROL, settings.line) &&
           Set(file, IOCTL_SERIAL_SET_CHARS, settings.chars) &&
           Set(file, IOCTL_SERIAL_SET_HANDFLOW, settings.handflow);
}

// --- BuildCommDCBA: the mode command's two syntaxes ---------------------------------------------

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
        {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.front())))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
    {
        text.remove_suffix(1);
    }
    return text;
}

bool ParseNumber(std::string_view text, DWORD& value)
{
    if (text.empty() || text.size() > 9)
    {
        return false;
    }
    DWORD number = 0;
    for (char c : text)
    {
        if (!isdigit(static_cast<unsigned char>(c)))
        {
            return false;
        }
        number = number * 10 + static_cast<DWORD>(c - '0');
    }
    value = number;
    return true;
}

// A rate as the mode command takes it: its two-digit abbreviations stand for the old rates.
bool ParseBaud(std::string_view text, DWORD& baud)
{
    DWORD number = 0;
    if (!ParseNumber(text, number) || number == 0)
    {
        return false;
    }
    switch (number)
    {
    case 11:
        baud = 110;
        break;
    case 15:
        baud = 150;
        break;
    case 30:
        baud = 300;
        break;
    case 60:
        baud = 600;
        break;
    case 12:
        baud = 1200;
        break;
    case 24:
        baud = 2400;
        break;
    case 48:
        baud = 4800;
        break;
    case 96:
        baud = 9600;
        break;
    case 19:
        baud = 19200;
        break;
    default:
        baud = number;
        break;
    }
    return true;
}

bool ParseParity(std::string_view text, BYTE& parity)
{
    if (text.size() != 1)
    {
        return false;
    }
    switch (tolower(static_cast<unsigned char>(text[0])))
    {
    case 'n':
        parity = NOPARITY;
        return true;
    case 'o':
        parity = ODDPARITY;
        return true;
    case 'e':
        parity = EVENPARITY;
        return true;
    case 'm':
        parity = MARKPARITY;
        return true;
    case 's':
        parity = SPACEPARITY;
        return true;
    default:
        return false;
    }
}

bool ParseDataBits(std::string_view text, BYTE& size)
{
    DWORD bits = 0;
    if (!ParseNumber(text, bits) || bits < 5 || bits > 8)
    {
        return false;
    }
    size = static_cast<BYTE>(bits);
    return true;
}

bool ParseStopBits(std::string_view text, BYTE& stop)
{
    if (text == "1")
    {
        stop = ONESTOPBIT;
    }
    else if (text == "1.5")
    {
        stop = ONE5STOPBITS;
    }
    else if (text == "2")
    {
        stop = TWOSTOPBITS;
    }
    else
    {
        return false;
    }
    return true;
}

bool ParseSwitch(std::string_view text, bool& on)
{
    if (EqualsNoCase(text, "on"))
    {
        on = true;
        return true;
    }
    if (EqualsNoCase(text, "off"))
    {
        on = false;
        return true;
    }
    return false;
}

// Takes an optional leading device name ("COM1", "com12:"): the digits must name a port 1..255.
bool SkipDeviceName(std::string_view& text)
{
    text = Trim(text);
    if (text.size() < 3 || !EqualsNoCase(text.substr(0, 3), "com"))
    {
        return true;
    }
    size_t end = 3;
    while (end < text.size() && isdigit(static_cast<unsigned char>(text[end])))
    {
        ++end;
    }
    DWORD number = 0;
    if (!ParseNumber(text.substr(3, end - 3), number) || number < 1 || number > 255)
    {
        return false;
    }
    if (end < text.size() && text[end] == ':')
    {
        ++end;
    }
    else if (end < text.size() && !isspace(static_cast<unsigned char>(text[end])))
    {
        return false;
    }
    text = Trim(text.substr(end));
    return true;
}

// The old form: baud[,parity[,data[,stop[,x|p]]]]; an empty field keeps the DCB's value.
bool ParseOldForm(std::string_view text, DCB& dcb, bool& stopGiven)
{
    std::string_view fields[5];
    size_t count = 0;
    while (true)
    {
        size_t comma = text.find(',');
        if (count == 5)
        {
            return false;
        }
        fields[count++] = Trim(text.substr(0, comma));
        if (comma == std::string_view::npos)
        {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    if (!fields[0].empty() && !ParseBaud(fields[0], dcb.BaudRate))
    {
        return false;
    }
    if (count > 1 && !fields[1].empty())
    {
        BYTE parity = 0;
        if (!ParseParity(fields[1], parity))
        {
            return false;
        }
        dcb.Parity = parity;
    }
    if (count > 2 && !fields[2].empty())
    {
        BYTE size = 0;
        if (!ParseDataBits(fields[2], size))
        {
            return false;
        }
        dcb.ByteSize = size;
    }
    if (count > 3 && !fields[3].empty())
    {
        BYTE stop = 0;
        if (!ParseStopBits(fields[3], stop))
        {
            return false;
        }
        dcb.StopBits = stop;
        stopGiven = true;
    }
    char flow = 0;
    if (count > 4 && !fields[4].empty())
    {
        if (fields[4].size() != 1)
        {
            return false;
        }
        flow = static_cast<char>(tolower(static_cast<unsigned char>(fields[4][0])));
        if (flow != 'x' && flow != 'p')
        {
            return false;
        }
    }
    dcb.fInX = dcb.fOutX = flow == 'x';
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = flow == 'p';
    dcb.fDtrControl = flow == 'p' ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fRtsControl = flow == 'p' ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    return true;
}

// The new form: key=value words separated by blanks.
bool ParseNewForm(std::string_view text, DCB& dcb, bool& stopGiven)
{
    dcb.fInX = dcb.fOutX = FALSE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    while (!(text = Trim(text)).empty())
    {
        size_t end = 0;
        while (end < text.size() && !isspace(static_cast<unsigned char>(text[end])))
        {
            ++end;
        }
        std::string_view word = text.substr(0, end);
        text.remove_prefix(end);
        size_t equals = word.find('=');
        if (equals == std::string_view::npos)
        {
            return false;
        }
        std::string_view key = word.substr(0, equals);
        std::string_view value = word.substr(equals + 1);
        bool on = false;
        if (EqualsNoCase(key, "baud"))
        {
            if (!ParseBaud(value, dcb.BaudRate))
            {
                return false;
            }
        }
        else if (EqualsNoCase(key, "parity"))
        {
            BYTE parity = 0;
            if (!ParseParity(value, parity))
            {
                return false;
            }
            dcb.Parity = parity;
        }
        else if (EqualsNoCase(key, "data"))
        {
            BYTE size = 0;
            if (!ParseDataBits(value, size))
            {
                return false;
            }
            dcb.ByteSize = size;
        }
        else if (EqualsNoCase(key, "stop"))
        {
            BYTE stop = 0;
            if (!ParseStopBits(value, stop))
            {
                return false;
            }
            dcb.StopBits = stop;
            stopGiven = true;
        }
        else if (EqualsNoCase(key, "to"))
        {
            // Time-outs: BuildCommDCBAndTimeouts' business; the DCB has none.
            if (!ParseSwitch(value, on))
            {
                return false;
            }
        }
        else if (EqualsNoCase(key, "xon"))
        {
            if (!ParseSwitch(value, on))
            {
                return false;
            }
            dcb.fInX = dcb.fOutX = on;
        }
        else if (EqualsNoCase(key, "odsr"))
        {
            if (!ParseSwitch(value, on))
            {
                return false;
            }
            dcb.fOutxDsrFlow = on;
        }
        else if (EqualsNoCase(key, "octs"))
        {
            if (!ParseSwitch(value, on))
            {
                return false;
            }
            dcb.fOutxCtsFlow = on;
        }
        else if (EqualsNoCase(key, "idsr"))
        {
            if (!ParseSwitch(value, on))
            {
                return false;
            }
            dcb.fDsrSensitivity = on;
        }
        else if (EqualsNoCase(key, "dtr"))
        {
            if (EqualsNoCase(value, "hs"))
            {
                dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            }
            else if (ParseSwitch(value, on))
            {
                dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            }
            else
            {
                return false;
            }
        }
        else if (EqualsNoCase(key, "rts"))
        {
            if (EqualsNoCase(value, "hs"))
            {
                dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            }
            else if (EqualsNoCase(value, "tg"))
            {
                dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            }
            else if (ParseSwitch(value, on))
            {
                dcb.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            }
            else
            {
                return false;
            }
        }
        else
        {
            return false;
        }
    }
    return true;
}

BOOL InvalidParameter()
{
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

} // namespace

extern "C"
{

    BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
    {
        if (lpDCB == nullptr)
        {
            return InvalidParameter();
        }
        PortSettings settings{};
        if (!ReadSettings(hFile, settings))
        {
            return FALSE;
        }
        FillDcb(settings, *lpDCB);
        return TRUE;
    }

    BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
    {
        if (lpDCB == nullptr || lpDCB->XonChar == lpDCB->XoffChar)
        {
            return InvalidParameter();
        }
        // What the port had, to put back should the driver refuse part of the new settings.
        PortSettings old{};
        if (!ReadSettings(hFile, old))
        {
            return FALSE;
        }
        PortSettings settings{};
        settings.baud.BaudRate = lpDCB->BaudRate;
        settings.line.WordLength = lpDCB->ByteSize;
        settings.line.Parity = lpDCB->Parity;
        settings.line.StopBits = lpDCB->StopBits;
        settings.chars.EofChar = static_cast<UCHAR>(lpDCB->EofChar);
        settings.chars.ErrorChar = static_cast<UCHAR>(lpDCB->ErrorChar);
        settings.chars.BreakChar = old.chars.BreakChar; // a DCB has no break character
        settings.chars.EventChar = static_cast<UCHAR>(lpDCB->EvtChar);
        settings.chars.XonChar = static_cast<UCHAR>(lpDCB->XonChar);
        settings.chars.XoffChar = static_cast<UCHAR>(lpDCB->XoffChar);
        settings.handflow = HandflowOf(*lpDCB);
        if (ApplySettings(hFile, settings, lpDCB->fDtrControl, lpDCB->fRtsControl))
        {
            return TRUE;
        }
        DWORD error = GetLastError();
        Set(hFile, IOCTL_SERIAL_SET_BAUD_RATE, old.baud);
        Set(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, old.line);
        Set(hFile, IOCTL_SERIAL_SET_CHARS, old.chars);
        Set(hFile, IOCTL_SERIAL_SET_HANDFLOW, old.handflow);
        SetLastError(error);
        return FALSE;
    }

    BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
    {
        static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
        if (lpCommTimeouts == nullptr)
        {
            return InvalidParameter();
        }
        SERIAL_TIMEOUTS timeouts{};
        if (!Get(hFile, IOCTL_SERIAL_GET_TIMEOUTS, timeouts))
        {
            return FALSE;
        }
        lpCommTimeouts->ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
        lpCommTimeouts->ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
        lpCommTimeouts->ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
        lpCommTimeouts->WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
        lpCommTimeouts->WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
        return TRUE;
    }

    BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
    {
        if (lpCommTimeouts == nullptr)
        {
            return InvalidParameter();
        }
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = lpCommTimeouts->ReadIntervalTimeout;
        timeouts.ReadTotalTimeoutMultiplier = lpCommTimeouts->ReadTotalTimeoutMultiplier;
        timeouts.ReadTotalTimeoutConstant = lpCommTimeouts->ReadTotalTimeoutConstant;
        timeouts.WriteTotalTimeoutMultiplier = lpCommTimeouts->WriteTotalTimeoutMultiplier;
        timeouts.WriteTotalTimeoutConstant = lpCommTimeouts->WriteTotalTimeoutConstant;
        return Set(hFile, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
    }

    BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
    {
        ULONG mask = dwEvtMask;
        return Set(hFile, IOCTL_SERIAL_SET_WAIT_MASK, mask);
    }

    BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
    {
        if (lpEvtMask == nullptr)
        {
            return InvalidParameter();
        }
        ULONG mask = 0;
        if (!Get(hFile, IOCTL_SERIAL_GET_WAIT_MASK, mask))
        {
            return FALSE;
        }
        *lpEvtMask = mask;
        return TRUE;
    }

    // The driver writes the events into the caller's DWORD when the wait completes, so an
    // overlapped wait finds them there once GetOverlappedResult reports it done.
    BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
    {
        if (lpEvtMask == nullptr)
        {
            return InvalidParameter();
        }
        DWORD returned = 0;
        return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD),
                               &returned, lpOverlapped);
    }

    BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
    {
        ULONG flags = dwFlags;
        return Set(hFile, IOCTL_SERIAL_PURGE, flags);
    }

    BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
    {
        SERIAL_STATUS status{};
        if (!Get(hFile, IOCTL_SERIAL_GET_COMMSTATUS, status))
        {
            return FALSE;
        }
        if (lpErrors != nullptr)
        {
            DWORD errors = 0;
            if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN)
            {
                errors |= CE_RXOVER;
            }
            if (status.Errors & SERIAL_ERROR_OVERRUN)
            {
                errors |= CE_OVERRUN;
            }
            if (status.Errors & SERIAL_ERROR_PARITY)
            {
                errors |= CE_RXPARITY;
            }
            if (status.Errors & SERIAL_ERROR_FRAMING)
            {
                errors |= CE_FRAME;
            }
            if (status.Errors & SERIAL_ERROR_BREAK)
            {
                errors |= CE_BREAK;
            }
            *lpErrors = errors;
        }
        if (lpStat != nullptr)
        {
            memset(lpStat, 0, sizeof(*lpStat));
            lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
            lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
            lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
            lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
            lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
            lpStat->fEof = status.EofReceived != FALSE;
            lpStat->fTxim = status.WaitForImmediate != FALSE;
            lpStat->cbInQue = status.AmountInInQueue;
            lpStat->cbOutQue = status.AmountInOutQueue;
        }
        return TRUE;
    }

    BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
    {
        DWORD code;
        switch (dwFunc)
        {
        case SETXOFF:
            code = IOCTL_SERIAL_SET_XOFF;
            break;
        case SETXON:
            code = IOCTL_SERIAL_SET_XON;
            break;
        case SETRTS:
            code = IOCTL_SERIAL_SET_RTS;
            break;
        case CLRRTS:
            code = IOCTL_SERIAL_CLR_RTS;
            break;
        case SETDTR:
            code = IOCTL_SERIAL_SET_DTR;
            break;
        case CLRDTR:
            code = IOCTL_SERIAL_CLR_DTR;
            break;
        case RESETDEV:
            code = IOCTL_SERIAL_RESET_DEVICE;
            break;
        case SETBREAK:
            code = IOCTL_SERIAL_SET_BREAK_ON;
            break;
        case CLRBREAK:
            code = IOCTL_SERIAL_SET_BREAK_OFF;
            break;
        default:
            return InvalidParameter();
        }
        return Control(hFile, code);
    }

    BOOL WINAPI SetCommBreak(HANDLE hFile)
    {
        return Control(hFile, IOCTL_SERIAL_SET_BREAK_ON);
    }

    BOOL WINAPI ClearCommBreak(HANDLE hFile)
    {
        return Control(hFile, IOCTL_SERIAL_SET_BREAK_OFF);
    }

    BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
    {
        UCHAR c = static_cast<UCHAR>(cChar);
        return Set(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, c);
    }

    BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
    {
        if (lpModemStat == nullptr)
        {
            return InvalidParameter();
        }
        ULONG status = 0;
        if (!Get(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, status))
        {
            return FALSE;
        }
        *lpModemStat = status;
        return TRUE;
    }

    // The driver fills the caller's COMMPROP in place (SERIAL_COMMPROP has its layout); a caller
    // with provider data beyond it says how big its buffer is with COMMPROP_INITIALIZED.
    BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
    {
        static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));
        if (lpCommProp == nullptr)
        {
            return InvalidParameter();
        }
        DWORD size = sizeof(COMMPROP);
        if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > size)
        {
            size = lpCommProp->wPacketLength;
        }
        return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, size);
    }

    BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
    {
        SERIAL_QUEUE_SIZE sizes{};
        sizes.InSize = dwInQueue;
        sizes.OutSize = dwOutQueue;
        return Set(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, sizes);
    }

    BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB)
    {
        if (lpDef == nullptr || lpDCB == nullptr)
        {
            return InvalidParameter();
        }
        std::string_view text(lpDef);
        if (!SkipDeviceName(text))
        {
            return InvalidParameter();
        }
        bool newForm = text.find('=') != std::string_view::npos;
        // The two forms do not mix.
        if (newForm && text.find(',') != std::string_view::npos)
        {
            return InvalidParameter();
        }
        // Parsed into a copy: a string that fails leaves the caller's DCB as it was.
        DCB dcb = *lpDCB;
        dcb.DCBlength = sizeof(DCB);
        dcb.fBinary = TRUE;
        bool stopGiven = false;
        bool parsed = text.empty() ? true
                                   : (newForm ? ParseNewForm(text, dcb, stopGiven)
                                              : ParseOldForm(text, dcb, stopGiven));
        if (!parsed)
        {
            return InvalidParameter();
        }
        dcb.fParity = dcb.Parity != NOPARITY;
        // As the mode command does, 110 baud sends two stop bits unless told otherwise.
        if (dcb.BaudRate == CBR_110 && !stopGiven)
        {
            dcb.StopBits = TWOSTOPBITS;
        }
        *lpDCB = dcb;
        return TRUE;
    }

} // extern "C"
