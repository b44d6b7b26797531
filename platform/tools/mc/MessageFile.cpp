#include "MessageFile.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <string_view>

namespace winsim::mc
{
namespace
{

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
           });
}

bool IsIdentifier(std::string_view text)
{
    if (text.empty() || isdigit(static_cast<unsigned char>(text[0])))
    {
        return false;
    }
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

// A C integer constant: decimal, 0x hex or 0 octal.
std::optional<uint64_t> ParseNumber(std::string_view text)
{
    if (text.empty())
    {
        return std::nullopt;
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    {
        base = 16;
        text.remove_prefix(2);
    }
    else if (text.size() > 1 && text[0] == '0')
    {
        base = 8;
        text.remove_prefix(1);
    }
    uint64_t value = 0;
    for (char c : text)
    {
        int digit;
        if (c >= '0' && c <= '9')
        {
            digit = c - '0';
        }
        else if (c >= 'a' && c <= 'f')
        {
            digit = c - 'a' + 10;
        }
        else if (c >= 'A' && c <= 'F')
        {
            digit = c - 'A' + 10;
        }
        else
        {
            return std::nullopt;
        }
        if (digit >= base || value > 0xFFFFFFFFull)
        {
            return std::nullopt;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return value;
}

// Checks that text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size())
    {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t cp;
        if (c < 0x80)
        {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0)
        {
            extra = 1;
            cp = c & 0x1F;
        }
        else if ((c & 0xF0) == 0xE0)
        {
            extra = 2;
            cp = c & 0x0F;
        }
        else if ((c & 0xF8) == 0xF0)
        {
            extra = 3;
            cp = c & 0x07;
        }
        else
        {
            return false;
        }
        if (i + extra >= text.size())
        {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k)
        {
            const unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80)
            {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

struct Token
{
    enum Kind
    {
        End,
        Word,
        Equals,
        Open,
        Close,
        Colon,
    } kind = End;
    std::string text;
    int line = 0;
};

// Splits the statement part of the file into tokens. Lines that start with ';' are comments and
// are handed to the parser; the text of a Language= block is read line by line on request.
class Lexer
{
  public:
    explicit Lexer(const std::string& text)
    {
        size_t at = 0;
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        {
            at = 3;
        }
        while (at <= text.size())
        {
            size_t end = text.find('\n', at);
            if (end == std::string::npos)
            {
                if (at < text.size())
                {
                    m_lines.push_back(text.substr(at));
                }
                break;
            }
            m_lines.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        for (std::string& line : m_lines)
        {
            if (!line.empty() && line.back() == '\r')
            {
                line.pop_back();
            }
        }
    }

    // The next token; comment lines met on the way are passed to onComment.
    template <typename OnComment>
    Token Next(OnComment&& onComment)
    {
        while (m_line < m_lines.size())
        {
            const std::string& line = m_lines[m_line];
            if (m_column == 0)
            {
                const size_t first = line.find_first_not_of(" \t");
                if (first != std::string::npos && line[first] == ';')
                {
                    onComment(line.substr(first + 1), static_cast<int>(m_line + 1));
                    ++m_line;
                    continue;
                }
            }
            while (m_column < line.size() && (line[m_column] == ' ' || line[m_column] == '\t'))
            {
                ++m_column;
            }
            if (m_column >= line.size())
            {
                ++m_line;
                m_column = 0;
                continue;
            }
            Token token;
            token.line = static_cast<int>(m_line + 1);
            const char c = line[m_column];
            if (c == '=' || c == '(' || c == ')' || c == ':')
            {
                token.kind = c == '='   ? Token::Equals
                             : c == '(' ? Token::Open
                             : c == ')' ? Token::Close
                                        : Token::Colon;
                token.text = std::string(1, c);
                ++m_column;
                return token;
            }
            const size_t end = line.find_first_of(" \t=():", m_column);
            token.kind = Token::Word;
            token.text = line.substr(m_column, end == std::string::npos ? std::string::npos : end - m_column);
            m_column = end == std::string::npos ? line.size() : end;
            return token;
        }
        Token end;
        end.line = static_cast<int>(m_lines.size());
        return end;
    }

    // Whether the next token would be on the current line.
    bool MoreOnLine() const
    {
        if (m_line >= m_lines.size())
        {
            return false;
        }
        const std::string& line = m_lines[m_line];
        return m_column != 0 && line.find_first_not_of(" \t", m_column) != std::string::npos;
    }

    // Reads a message text: the lines after the current one up to a line holding a single '.'.
    // Returns false at the end of the file.
    bool ReadText(std::string& text)
    {
        size_t line = m_line + 1;
        for (; line < m_lines.size(); ++line)
        {
            std::string_view content = m_lines[line];
            const size_t last = content.find_last_not_of(" \t");
            if (last == 0 && content[0] == '.')
            {
                m_line = line + 1;
                m_column = 0;
                return true;
            }
            text += content;
            text += "\r\n";
        }
        return false;
    }

    // The rest of the current line after the token just read (for a Language= statement).
    std::string RestOfLine() const
    {
        if (m_line >= m_lines.size() || m_column == 0)
        {
            return {};
        }
        const std::string& line = m_lines[m_line];
        const size_t first = line.find_first_not_of(" \t", m_column);
        return first == std::string::npos ? std::string() : line.substr(first);
    }

  private:
    std::vector<std::string> m_lines;
    size_t m_line = 0;
    size_t m_column = 0;
};

class Parser
{
  public:
    Parser(const std::string& text, const ParseOptions& options) : m_lexer(text), m_options(options)
    {
        m_file.severities = {{"Success", 0, "", ""},
                             {"Informational", 1, "", ""},
                             {"Warning", 2, "", ""},
                             {"Error", 3, "", ""}};
        m_file.facilities = {{"System", 0x0FF, "", ""}, {"Application", 0xFFF, "", ""}};
        m_file.languages = {{"English", 0x409, "", "MSG00001"}};
    }

    std::optional<MessageFile> Run(ParseError* error)
    {
        if (!Parse())
        {
            if (error != nullptr)
            {
                *error = m_error;
            }
            return std::nullopt;
        }
        return std::move(m_file);
    }

  private:
    bool Fail(int line, std::string message)
    {
        m_error.line = line;
        m_error.message = std::move(message);
        return false;
    }

    Token Next()
    {
        if (m_peeked)
        {
            m_peeked = false;
            return m_peek;
        }
        return m_lexer.Next([this](const std::string& comment, int) {
            HeaderItem item;
            item.isComment = true;
            item.comment = comment;
            m_file.header.push_back(std::move(item));
        });
    }

    // The next token without consuming it. Only used inside parentheses, where line positions do
    // not matter.
    const Token& Peek()
    {
        if (!m_peeked)
        {
            m_peek = Next();
            m_peeked = true;
        }
        return m_peek;
    }

    bool Parse()
    {
        while (true)
        {
            Token keyword = Next();
            if (keyword.kind == Token::End)
            {
                return FinishMessage() && CheckLanguages();
            }
            if (keyword.kind != Token::Word)
            {
                return Fail(keyword.line, "expected a keyword, found '" + keyword.text + "'");
            }
            Token equals = Next();
            if (equals.kind != Token::Equals)
            {
                return Fail(keyword.line, "expected '=' after '" + keyword.text + "'");
            }
            if (!Statement(keyword))
            {
                return false;
            }
        }
    }

    bool Statement(const Token& keyword)
    {
        const std::string& k = keyword.text;
        if (EqualsNoCase(k, "MessageIdTypedef"))
        {
            Token value;
            if (!Value(keyword, value))
            {
                return false;
            }
            if (!IsIdentifier(value.text))
            {
                return Fail(value.line, "MessageIdTypedef '" + value.text + "' is not a C identifier");
            }
            m_typedef = value.text;
            return true;
        }
        if (EqualsNoCase(k, "SeverityNames"))
        {
            return NameList(keyword, m_file.severities, 3, "severity");
        }
        if (EqualsNoCase(k, "FacilityNames"))
        {
            return NameList(keyword, m_file.facilities, 0xFFF, "facility");
        }
        if (EqualsNoCase(k, "LanguageNames"))
        {
            return NameList(keyword, m_file.languages, 0xFFFF, "language");
        }
        if (EqualsNoCase(k, "OutputBase"))
        {
            Token value;
            if (!Value(keyword, value))
            {
                return false;
            }
            const std::optional<uint64_t> base = ParseNumber(value.text);
            if (!base || (*base != 10 && *base != 16))
            {
                return Fail(value.line, "OutputBase must be 10 or 16");
            }
            m_file.outputBase = static_cast<int>(*base);
            return true;
        }
        if (EqualsNoCase(k, "MessageId"))
        {
            return StartMessage(keyword);
        }
        if (EqualsNoCase(k, "Severity") || EqualsNoCase(k, "Facility") || EqualsNoCase(k, "SymbolicName") ||
            EqualsNoCase(k, "Language"))
        {
            if (!m_inMessage)
            {
                return Fail(keyword.line,
                            k + " outside a message definition (a message starts with MessageId)");
            }
            Token value;
            if (!Value(keyword, value))
            {
                return false;
            }
            if (EqualsNoCase(k, "Severity"))
            {
                const NamedValue* severity = Find(m_file.severities, value.text);
                if (severity == nullptr)
                {
                    return Fail(value.line, "unknown severity '" + value.text + "'");
                }
                m_severity = severity->value;
                return true;
            }
            if (EqualsNoCase(k, "Facility"))
            {
                const NamedValue* facility = Find(m_file.facilities, value.text);
                if (facility == nullptr)
                {
                    return Fail(value.line, "unknown facility '" + value.text + "'");
                }
                m_facility = facility->value;
                return true;
            }
            if (EqualsNoCase(k, "SymbolicName"))
            {
                if (!IsIdentifier(value.text))
                {
                    return Fail(value.line, "SymbolicName '" + value.text + "' is not a C identifier");
                }
                if (!m_current.symbol.empty())
                {
                    return Fail(value.line, "second SymbolicName in one message");
                }
                m_current.symbol = value.text;
                return true;
            }
            return LanguageText(value);
        }
        return Fail(keyword.line, "unknown keyword '" + k + "'");
    }

    // A single value on the same line as its keyword.
    bool Value(const Token& keyword, Token& value)
    {
        if (!m_lexer.MoreOnLine())
        {
            return Fail(keyword.line, "missing value after '" + keyword.text + "='");
        }
        value = Next();
        if (value.kind != Token::Word)
        {
            return Fail(value.line,
                        "expected a value after '" + keyword.text + "=', found '" + value.text + "'");
        }
        return true;
    }

    static const NamedValue* Find(const std::vector<NamedValue>& list, const std::string& name)
    {
        for (const NamedValue& entry : list)
        {
            if (entry.name == name)
            {
                return &entry;
            }
        }
        return nullptr;
    }

    // "( name=number[:name] ... )"; for languages the part after ':' (the file name) is required.
    bool NameList(const Token& keyword, std::vector<NamedValue>& list, uint32_t maximum, const char* what)
    {
        const bool languages = maximum == 0xFFFF;
        const Token open = Next();
        if (open.kind != Token::Open)
        {
            return Fail(open.line, "expected '(' after '" + keyword.text + "='");
        }
        while (true)
        {
            const Token name = Next();
            if (name.kind == Token::Close)
            {
                return true;
            }
            if (name.kind == Token::End)
            {
                return Fail(keyword.line, "missing ')' after '" + keyword.text + "='");
            }
            if (name.kind != Token::Word)
            {
                return Fail(name.line,
                            std::string("expected a ") + what + " name, found '" + name.text + "'");
            }
            const Token equals = Next();
            const Token number = equals.kind == Token::Equals ? Next() : equals;
            if (equals.kind != Token::Equals || number.kind != Token::Word)
            {
                return Fail(name.line,
                            std::string("expected ") + what + " name=number at '" + name.text + "'");
            }
            const std::optional<uint64_t> value = ParseNumber(number.text);
            if (!value)
            {
                return Fail(number.line, "'" + number.text + "' is not a number");
            }
            if (*value > maximum)
            {
                return Fail(number.line, std::string(what) + " value " + number.text + " does not fit in " +
                                             (maximum == 3       ? "2 bits"
                                              : maximum == 0xFFF ? "12 bits"
                                                                 : "16 bits"));
            }
            NamedValue entry;
            entry.name = name.text;
            entry.value = static_cast<uint32_t>(*value);
            if (Peek().kind == Token::Colon)
            {
                Next();
                const Token extra = Next();
                if (extra.kind != Token::Word)
                {
                    return Fail(extra.line, "expected a name after ':'");
                }
                if (languages)
                {
                    entry.file = extra.text;
                }
                else if (!IsIdentifier(extra.text))
                {
                    return Fail(extra.line, "'" + extra.text + "' is not a C identifier");
                }
                else
                {
                    entry.symbol = extra.text;
                }
            }
            if (languages && entry.file.empty())
            {
                return Fail(name.line, "language " + name.text + " needs a file name (name=number:file)");
            }
            auto existing = std::find_if(list.begin(), list.end(),
                                         [&](const NamedValue& e) { return e.name == entry.name; });
            if (existing != list.end())
            {
                *existing = entry;
            }
            else
            {
                list.push_back(entry);
            }
        }
    }

    bool StartMessage(const Token& keyword)
    {
        if (!FinishMessage())
        {
            return false;
        }
        // The message's place in the header, before any comment that follows its statements.
        HeaderItem item;
        item.message = m_file.messages.size();
        m_file.header.push_back(item);
        m_current = Message{};
        m_current.line = keyword.line;
        m_current.typedefName = m_typedef;
        m_idKind = IdKind::Next;
        m_idValue = 0;
        m_inMessage = true;
        if (m_lexer.MoreOnLine())
        {
            Token value = Next();
            if (value.kind != Token::Word)
            {
                return Fail(value.line,
                            "expected a message number after 'MessageId=', found '" + value.text + "'");
            }
            std::string_view text = value.text;
            if (!text.empty() && text[0] == '+')
            {
                m_idKind = IdKind::Relative;
                text.remove_prefix(1);
            }
            else
            {
                m_idKind = IdKind::Absolute;
            }
            const std::optional<uint64_t> number = ParseNumber(text);
            if (!number)
            {
                return Fail(value.line, "'" + value.text + "' is not a message number");
            }
            m_idValue = *number;
        }
        return true;
    }

    bool LanguageText(const Token& value)
    {
        const NamedValue* language = Find(m_file.languages, value.text);
        if (language == nullptr)
        {
            return Fail(value.line, "unknown language '" + value.text + "' (not in LanguageNames)");
        }
        for (const MessageText& existing : m_current.texts)
        {
            if (existing.language == language->name)
            {
                return Fail(value.line, "second text for language " + language->name + " in one message");
            }
        }
        const std::string rest = m_lexer.RestOfLine();
        if (!rest.empty())
        {
            return Fail(value.line, "unexpected '" + rest + "' after Language=" + value.text);
        }
        MessageText text;
        text.language = language->name;
        text.line = value.line;
        if (!m_lexer.ReadText(text.text))
        {
            return Fail(value.line, "message text is not ended by a line holding a single '.'");
        }
        if (!IsValidUtf8(text.text))
        {
            return Fail(value.line, "message text is not valid UTF-8");
        }
        m_current.texts.push_back(std::move(text));
        return true;
    }

    bool FinishMessage()
    {
        if (!m_inMessage)
        {
            return true;
        }
        m_inMessage = false;
        if (m_current.texts.empty())
        {
            return Fail(m_current.line, "message has no Language= text");
        }
        uint64_t& last = m_lastCode[m_facility];
        uint64_t code = m_idKind == IdKind::Absolute   ? m_idValue
                        : m_idKind == IdKind::Relative ? last + m_idValue
                                                       : last + 1;
        if (code > 0xFFFF)
        {
            return Fail(m_current.line,
                        "message number " + std::to_string(code) + " does not fit in 16 bits");
        }
        last = code;
        m_current.severity = m_severity;
        m_current.facility = m_facility;
        m_current.code = static_cast<uint32_t>(code);
        m_current.id = (m_severity << 30) | (m_options.customerBit ? (1u << 29) : 0) | (m_facility << 16) |
                       static_cast<uint32_t>(code);
        for (const Message& other : m_file.messages)
        {
            if (other.id == m_current.id)
            {
                char text[16];
                snprintf(text, sizeof(text), "0x%08X", m_current.id);
                return Fail(m_current.line, std::string("message code ") + text +
                                                " is already used by the message at line " +
                                                std::to_string(other.line));
            }
            if (!m_current.symbol.empty() && other.symbol == m_current.symbol)
            {
                return Fail(m_current.line, "SymbolicName " + m_current.symbol + " is already used at line " +
                                                std::to_string(other.line));
            }
        }
        m_file.messages.push_back(std::move(m_current));
        return true;
    }

    // Every message must have a text in every language that any message uses.
    bool CheckLanguages()
    {
        std::set<std::string> used;
        for (const Message& message : m_file.messages)
        {
            for (const MessageText& text : message.texts)
            {
                used.insert(text.language);
            }
        }
        for (const Message& message : m_file.messages)
        {
            for (const std::string& language : used)
            {
                const bool has = std::any_of(message.texts.begin(), message.texts.end(),
                                             [&](const MessageText& t) { return t.language == language; });
                if (!has)
                {
                    return Fail(message.line,
                                "message " + (message.symbol.empty() ? std::string("here") : message.symbol) +
                                    " has no text for language " + language);
                }
            }
        }
        return true;
    }

    enum class IdKind
    {
        Next,
        Absolute,
        Relative,
    };

    Lexer m_lexer;
    ParseOptions m_options;
    MessageFile m_file;
    ParseError m_error;
    std::string m_typedef;
    uint32_t m_severity = 0;
    uint32_t m_facility = 0;
    std::map<uint32_t, uint64_t> m_lastCode;
    bool m_inMessage = false;
    Message m_current;
    IdKind m_idKind = IdKind::Next;
    uint64_t m_idValue = 0;
    bool m_peeked = false;
    Token m_peek;
};

} // namespace

const NamedValue* MessageFile::Language(const std::string& name) const
{
    for (const NamedValue& language : languages)
    {
        if (language.name == name)
        {
            return &language;
        }
    }
    return nullptr;
}

std::optional<MessageFile> ParseMessageFile(const std::string& text, const ParseOptions& options,
                                            ParseError* error)
{
    Parser parser(text, options);
    return parser.Run(error);
}

} // namespace winsim::mc
