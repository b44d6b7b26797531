// The model of a message text file (.mc) and its parser, in the syntax of the Windows SDK's
// message compiler.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace winsim::mc
{

// A named value of SeverityNames, FacilityNames or LanguageNames.
struct NamedValue
{
    std::string name;
    uint32_t value = 0;
    std::string symbol; // SeverityNames/FacilityNames: the optional #define name
    std::string file;   // LanguageNames: the base name of the .bin file
};

struct MessageText
{
    std::string language; // name from LanguageNames
    std::string text;     // UTF-8, each line ending in CR LF
    int line = 0;         // of the Language= statement
};

struct Message
{
    int line = 0;    // of the MessageId statement
    uint32_t id = 0; // the full 32-bit message code
    uint32_t severity = 0;
    uint32_t facility = 0;
    uint32_t code = 0;
    std::string typedefName; // MessageIdTypedef in force at the message, or empty
    std::string symbol;      // SymbolicName, or empty
    std::vector<MessageText> texts;
};

// What the header shows, in file order: comment lines and messages.
struct HeaderItem
{
    bool isComment = false;
    std::string comment; // the comment line without its ';'
    size_t message = 0;  // index into MessageFile::messages
};

struct MessageFile
{
    std::vector<NamedValue> severities;
    std::vector<NamedValue> facilities;
    std::vector<NamedValue> languages;
    int outputBase = 16;
    std::vector<Message> messages;
    std::vector<HeaderItem> header;

    const NamedValue* Language(const std::string& name) const;
};

struct ParseError
{
    int line = 0;
    std::string message;
};

struct ParseOptions
{
    bool customerBit = false; // -c: set bit 29 in every message code
};

// Parses UTF-8 text (a byte order mark is skipped). On failure returns nullopt and fills *error.
std::optional<MessageFile> ParseMessageFile(const std::string& text, const ParseOptions& options,
                                            ParseError* error);

} // namespace winsim::mc
