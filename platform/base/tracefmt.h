// Trace formats: the .tmf file that winsim-wpp writes for a driver, and the renderer that turns a
// recorded trace message (message GUID, message number, argument blobs) back into text.
//
// The .tmf is a UTF-8 text file. Its first line is "#winsim-tmf 1"; other lines starting with '#'
// are comments and empty lines are ignored. Every other line describes one trace point as seven
// fields separated by single tab characters:
//
//   1  message GUID of the source module, as xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx
//   2  message number, in decimal (the __LINE__ the compiler gives the trace point)
//   3  level, as written at the trace point (TRACE_LEVEL_INFORMATION, 4, ...)
//   4  flag, as written at the trace point (TRACE_FLAG_GENERAL, ...)
//   5  source file name, without folders
//   6  line of the trace point in that file, in decimal
//   7  format string, adjacent literals joined and escape sequences resolved
//
// Text fields are written escaped: "\\" for a backslash, "\t", "\n" and "\r" for tab, line feed
// and carriage return, "\xHH" (two hex digits) for any other byte below 0x20 and for 0x7F; other
// bytes, UTF-8 text included, stand as they are.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <compare>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace winsim
{

// A GUID with the memory layout of the Windows GUID structure.
struct TraceGuid
{
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};

    friend auto operator<=>(const TraceGuid&, const TraceGuid&) = default;
    friend bool operator==(const TraceGuid&, const TraceGuid&) = default;
};

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower-case hex, no braces.
std::string FormatGuid(const TraceGuid& guid);
// Accepts the form above, upper or lower case, optionally in braces.
std::optional<TraceGuid> ParseGuid(std::string_view text);

// One part of a format string: literal text or one printf conversion.
struct FormatPiece
{
    bool conversion = false;
    std::string text;           // the literal text ("%%" already reduced), or the conversion as written
    std::string flags;          // any of "-+ 0#"
    int width = -1;             // -1 when absent
    bool widthArgument = false; // '*': the width is the next argument
    int precision = -1;         // -1 when absent
    bool precisionArgument = false;
    std::string size;      // "", "hh", "h", "l", "ll", "L", "w", "I", "I32", "I64", "z", "t", "j"
    char type = 0;         // d i u x X o c C s S Z p e E f F g G a A n, or '!' for %!NAME!
    std::string extension; // NAME of a %!NAME! conversion

    // Number of argument blobs the conversion takes (the value plus any '*').
    size_t Arguments() const { return conversion ? 1 + widthArgument + precisionArgument : 0; }
};

// Splits a format string. Text that does not form a valid conversion stays literal.
std::vector<FormatPiece> ParseTraceFormat(std::string_view format);
// Sum of Arguments() over the pieces.
size_t CountTraceArguments(std::string_view format);

// Escaping of the text fields of a .tmf line, and its inverse (nullopt on a bad escape).
std::string EscapeTmfField(std::string_view text);
std::optional<std::string> UnescapeTmfField(std::string_view text);

// Level names of evntrace.h (TRACE_LEVEL_ERROR, ...) or a decimal or hex number; -1 otherwise.
int TraceLevelValue(std::string_view level);

struct TraceFormatEntry
{
    TraceGuid guid;
    uint32_t number = 0;
    std::string level;
    std::string flag;
    std::string file;
    uint32_t line = 0;
    std::string format;
};

// A recorded trace message. Each argument is the bytes the driver passed: 4 or 8 bytes for a
// number, a UTF-16 string with its terminator, a narrow string with its terminator.
struct TraceMessage
{
    TraceGuid guid;
    uint32_t number = 0;
    std::vector<std::vector<uint8_t>> arguments;
};

struct RenderedTrace
{
    bool known = false;  // the .tmf has the message
    std::string text;    // UTF-8
    std::string level;   // as written at the trace point
    int levelValue = -1; // TraceLevelValue(level)
    std::string flag;
    std::string file;
    uint32_t line = 0;
};

// The formats of one or more .tmf files.
class TraceFormats
{
  public:
    // Parses .tmf text; `origin` names it in error messages ("origin:line: ...").
    static std::optional<TraceFormats> Parse(std::string_view text, std::string_view origin,
                                             std::string* error = nullptr);
    static std::optional<TraceFormats> Load(const std::string& path, std::string* error = nullptr);

    // Writes entries as .tmf text.
    static std::string Write(std::span<const TraceFormatEntry> entries);

    // Adds the entries of another file; an entry with the same GUID and number replaces the old one.
    void Merge(const TraceFormats& other);

    const TraceFormatEntry* Find(const TraceGuid& guid, uint32_t number) const;
    size_t size() const { return m_entries.size(); }

    // Renders a message with the format of its trace point. Each conversion reads its blob the way
    // the Windows C runtime reads its argument ("%lu" is 32 bits, "%I64u" and "%llu" 64, "%Iu",
    // "%zu" and "%p" the pointer size of 64 bits; "%s" narrow, "%S", "%ls" and "%ws" wide, "%Z"
    // and "%wZ" counted narrow and wide text). A blob whose size does not fit its conversion is
    // shown in hex as "[01 02 03]"; a missing one as "<missing>". A message the formats do not know
    // renders as "Unknown( <guid> <number> )" followed by each argument in hex.
    RenderedTrace Render(const TraceMessage& message) const;

  private:
    std::map<std::pair<TraceGuid, uint32_t>, TraceFormatEntry> m_entries;
};

// Renders one format string with argument blobs (what Render does for a known message).
std::string RenderTraceFormat(std::string_view format, std::span<const std::vector<uint8_t>> arguments);

// "[01 02 03]": how a blob that cannot be read as its conversion is shown.
std::string HexBlob(std::span<const uint8_t> bytes);

} // namespace winsim
