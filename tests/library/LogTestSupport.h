// Parsing log lines in the tests.
#pragma once

#include <regex>
#include <string>

struct LogLine
{
    int year, month, day, hour, minute, second;
    std::string millis, pid, tid, site; // the fields as written, blanks included
    std::string mark;
    std::string message;
};

// Parses one line (without its line break). False when it does not have the log line's format.
inline bool ParseLogLine(const std::string& line, LogLine& out)
{
    static const std::regex pattern(
        "^(\\d{4}):(\\d{2}):(\\d{2}):(\\d{2}):(\\d{2}):(\\d{2}):([ \\d]{3}):( *-?\\d+):"
        "( *-?\\d+):( *-?\\d+):(Inf|Err|):(.*)$");
    std::smatch m;
    if (!std::regex_match(line, m, pattern))
    {
        return false;
    }
    out.year = std::stoi(m[1]);
    out.month = std::stoi(m[2]);
    out.day = std::stoi(m[3]);
    out.hour = std::stoi(m[4]);
    out.minute = std::stoi(m[5]);
    out.second = std::stoi(m[6]);
    out.millis = m[7];
    out.pid = m[8];
    out.tid = m[9];
    out.site = m[10];
    out.mark = m[11];
    out.message = m[12];
    return out.pid.size() >= 5 && out.tid.size() >= 5 && out.site.size() >= 5;
}

// "%5d" of a value, as the log writes process, thread and call-site numbers.
inline std::string Width5(long long value)
{
    std::string digits = std::to_string(value);
    return digits.size() >= 5 ? digits : std::string(5 - digits.size(), ' ') + digits;
}
