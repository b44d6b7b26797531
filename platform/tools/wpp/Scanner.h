// Finds the trace points of a C++ source: invocations of the trace macro outside comments, string
// and character literals and preprocessor directives (so the macro's own #define is not one).
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace winsim::wpp
{

struct TracePoint
{
    int line = 0;      // of the macro name
    int closeLine = 0; // of the closing parenthesis
    std::string level; // argument text, tokens joined
    std::string flag;
    std::string format;   // the literals joined, escape sequences resolved (bytes, UTF-8 as written)
    size_t arguments = 0; // after the format
};

struct ScanError
{
    int line = 0;
    std::string message;
};

// Scans `text` for invocations of any of `macros`. On a malformed trace point returns nullopt and
// fills *error.
std::optional<std::vector<TracePoint>> ScanTracePoints(const std::string& text,
                                                       const std::vector<std::string>& macros,
                                                       ScanError* error);

// A name-based GUID (SHA-1, version 5) of `name` in this tool's namespace, as 16 bytes in the
// order of the GUID structure's fields read big-endian (Data1, Data2, Data3, Data4).
void ModuleGuidBytes(const std::string& name, uint8_t out[16]);

} // namespace winsim::wpp
