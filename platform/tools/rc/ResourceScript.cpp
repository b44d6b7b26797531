#include "ResourceScript.h"

#include "base/unicode.h"

#include <ctype.h>
#include <stdint.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

namespace winsim::rc
{
namespace
{

// ---- Constants of the Windows headers the scripts may use ------------------------------------------

struct NamedConstant
{
    const char* name;
    uint32_t value;
};

const NamedConstant kWindowsConstants[] = {
    // Languages.
    {"LANG_NEUTRAL", 0x00},
    {"LANG_ENGLISH", 0x09},
    {"LANG_JAPANESE", 0x11},
    {"SUBLANG_NEUTRAL", 0x00},
    {"SUBLANG_DEFAULT", 0x01},
    {"SUBLANG_SYS_DEFAULT", 0x02},
    {"SUBLANG_ENGLISH_US", 0x01},
    {"SUBLANG_ENGLISH_UK", 0x02},
    {"SUBLANG_JAPANESE_JAPAN", 0x01},
    // Window styles.
    {"WS_OVERLAPPED", 0x00000000},
    {"WS_POPUP", 0x80000000},
    {"WS_CHILD", 0x40000000},
    {"WS_MINIMIZE", 0x20000000},
    {"WS_VISIBLE", 0x10000000},
    {"WS_DISABLED", 0x08000000},
    {"WS_CLIPSIBLINGS", 0x04000000},
    {"WS_CLIPCHILDREN", 0x02000000},
    {"WS_MAXIMIZE", 0x01000000},
    {"WS_CAPTION", 0x00C00000},
    {"WS_BORDER", 0x00800000},
    {"WS_DLGFRAME", 0x00400000},
    {"WS_VSCROLL", 0x00200000},
    {"WS_HSCROLL", 0x00100000},
    {"WS_SYSMENU", 0x00080000},
    {"WS_THICKFRAME", 0x00040000},
    {"WS_GROUP", 0x00020000},
    {"WS_TABSTOP", 0x00010000},
    {"WS_MINIMIZEBOX", 0x00020000},
    {"WS_MAXIMIZEBOX", 0x00010000},
    {"WS_POPUPWINDOW", 0x80880000},
    {"WS_OVERLAPPEDWINDOW", 0x00CF0000},
    // Extended window styles.
    {"WS_EX_DLGMODALFRAME", 0x00000001},
    {"WS_EX_NOPARENTNOTIFY", 0x00000004},
    {"WS_EX_TOPMOST", 0x00000008},
    {"WS_EX_ACCEPTFILES", 0x00000010},
    {"WS_EX_TRANSPARENT", 0x00000020},
    {"WS_EX_TOOLWINDOW", 0x00000080},
    {"WS_EX_WINDOWEDGE", 0x00000100},
    {"WS_EX_CLIENTEDGE", 0x00000200},
    {"WS_EX_CONTEXTHELP", 0x00000400},
    {"WS_EX_RIGHT", 0x00001000},
    {"WS_EX_LEFT", 0x00000000},
    {"WS_EX_RTLREADING", 0x00002000},
    {"WS_EX_LTRREADING", 0x00000000},
    {"WS_EX_LEFTSCROLLBAR", 0x00004000},
    {"WS_EX_CONTROLPARENT", 0x00010000},
    {"WS_EX_STATICEDGE", 0x00020000},
    {"WS_EX_APPWINDOW", 0x00040000},
    // Dialog styles.
    {"DS_ABSALIGN", 0x0001},
    {"DS_SYSMODAL", 0x0002},
    {"DS_LOCALEDIT", 0x0020},
    {"DS_SETFONT", 0x0040},
    {"DS_MODALFRAME", 0x0080},
    {"DS_NOIDLEMSG", 0x0100},
    {"DS_SETFOREGROUND", 0x0200},
    {"DS_3DLOOK", 0x0004},
    {"DS_FIXEDSYS", 0x0008},
    {"DS_NOFAILCREATE", 0x0010},
    {"DS_CONTROL", 0x0400},
    {"DS_CENTER", 0x0800},
    {"DS_CENTERMOUSE", 0x1000},
    {"DS_CONTEXTHELP", 0x2000},
    {"DS_SHELLFONT", 0x0048},
    // Static controls.
    {"SS_LEFT", 0x0000},
    {"SS_CENTER", 0x0001},
    {"SS_RIGHT", 0x0002},
    {"SS_ICON", 0x0003},
    {"SS_BLACKRECT", 0x0004},
    {"SS_GRAYRECT", 0x0005},
    {"SS_WHITERECT", 0x0006},
    {"SS_BLACKFRAME", 0x0007},
    {"SS_GRAYFRAME", 0x0008},
    {"SS_WHITEFRAME", 0x0009},
    {"SS_SIMPLE", 0x000B},
    {"SS_LEFTNOWORDWRAP", 0x000C},
    {"SS_ETCHEDHORZ", 0x0010},
    {"SS_ETCHEDVERT", 0x0011},
    {"SS_ETCHEDFRAME", 0x0012},
    {"SS_NOPREFIX", 0x0080},
    {"SS_NOTIFY", 0x0100},
    {"SS_CENTERIMAGE", 0x0200},
    {"SS_SUNKEN", 0x1000},
    {"SS_ENDELLIPSIS", 0x4000},
    {"SS_PATHELLIPSIS", 0x8000},
    {"SS_WORDELLIPSIS", 0xC000},
    // Combo boxes.
    {"CBS_SIMPLE", 0x0001},
    {"CBS_DROPDOWN", 0x0002},
    {"CBS_DROPDOWNLIST", 0x0003},
    {"CBS_OWNERDRAWFIXED", 0x0010},
    {"CBS_OWNERDRAWVARIABLE", 0x0020},
    {"CBS_AUTOHSCROLL", 0x0040},
    {"CBS_OEMCONVERT", 0x0080},
    {"CBS_SORT", 0x0100},
    {"CBS_HASSTRINGS", 0x0200},
    {"CBS_NOINTEGRALHEIGHT", 0x0400},
    {"CBS_DISABLENOSCROLL", 0x0800},
    {"CBS_UPPERCASE", 0x2000},
    {"CBS_LOWERCASE", 0x4000},
    // Edit controls.
    {"ES_LEFT", 0x0000},
    {"ES_CENTER", 0x0001},
    {"ES_RIGHT", 0x0002},
    {"ES_MULTILINE", 0x0004},
    {"ES_UPPERCASE", 0x0008},
    {"ES_LOWERCASE", 0x0010},
    {"ES_PASSWORD", 0x0020},
    {"ES_AUTOVSCROLL", 0x0040},
    {"ES_AUTOHSCROLL", 0x0080},
    {"ES_NOHIDESEL", 0x0100},
    {"ES_OEMCONVERT", 0x0400},
    {"ES_READONLY", 0x0800},
    {"ES_WANTRETURN", 0x1000},
    {"ES_NUMBER", 0x2000},
    // Buttons.
    {"BS_PUSHBUTTON", 0x0000},
    {"BS_DEFPUSHBUTTON", 0x0001},
    {"BS_CHECKBOX", 0x0002},
    {"BS_AUTOCHECKBOX", 0x0003},
    {"BS_RADIOBUTTON", 0x0004},
    {"BS_3STATE", 0x0005},
    {"BS_AUTO3STATE", 0x0006},
    {"BS_GROUPBOX", 0x0007},
    {"BS_USERBUTTON", 0x0008},
    {"BS_AUTORADIOBUTTON", 0x0009},
    {"BS_OWNERDRAW", 0x000B},
    {"BS_LEFTTEXT", 0x0020},
    {"BS_TEXT", 0x0000},
    {"BS_ICON", 0x0040},
    {"BS_BITMAP", 0x0080},
    {"BS_LEFT", 0x0100},
    {"BS_RIGHT", 0x0200},
    {"BS_CENTER", 0x0300},
    {"BS_TOP", 0x0400},
    {"BS_BOTTOM", 0x0800},
    {"BS_VCENTER", 0x0C00},
    {"BS_PUSHLIKE", 0x1000},
    {"BS_MULTILINE", 0x2000},
    {"BS_NOTIFY", 0x4000},
    {"BS_FLAT", 0x8000},
};

// Headers whose inclusion makes those constants known.
bool DefinesWindowsConstants(std::string_view header)
{
    std::string lower;
    for (char c : header)
    {
        lower.push_back(static_cast<char>(tolower(static_cast<unsigned char>(c))));
    }
    return lower == "windows.h" || lower == "winres.h" || lower == "winresrc.h" || lower == "winuser.h";
}

// ---- Classes, styles and layouts of the controls ---------------------------------------------------

constexpr uint32_t WS_CHILD = 0x40000000;
constexpr uint32_t WS_VISIBLE = 0x10000000;
constexpr uint32_t WS_POPUP = 0x80000000;
constexpr uint32_t WS_BORDER = 0x00800000;
constexpr uint32_t WS_SYSMENU = 0x00080000;
constexpr uint32_t WS_CAPTION = 0x00C00000;
constexpr uint32_t WS_GROUP = 0x00020000;
constexpr uint32_t WS_TABSTOP = 0x00010000;
constexpr uint32_t DS_SETFONT = 0x0040;

// The predefined window classes as dialog templates name them (an atom after 0xFFFF).
constexpr uint16_t kClassButton = 0x0080;
constexpr uint16_t kClassEdit = 0x0081;
constexpr uint16_t kClassStatic = 0x0082;
constexpr uint16_t kClassComboBox = 0x0085;

// windres' default font character set when FONT names none (DEFAULT_CHARSET).
constexpr uint8_t kDefaultCharset = 1;

struct ControlKind
{
    const char* keyword;
    bool hasText;          // the statement starts with the control's text
    uint16_t classAtom;    // its class
    uint32_t defaultStyle; // without a style: this, WS_CHILD and WS_VISIBLE
    uint32_t baseStyle;    // with a style: the style applied to this, WS_CHILD and WS_VISIBLE
};

const ControlKind kControlKinds[] = {
    {"LTEXT", true, kClassStatic, 0x0000 | WS_GROUP, 0x0000},
    {"RTEXT", true, kClassStatic, 0x0002 | WS_GROUP, 0x0002},
    {"CTEXT", true, kClassStatic, 0x0001 | WS_GROUP, 0x0001},
    {"PUSHBUTTON", true, kClassButton, 0x0000 | WS_TABSTOP, 0x0000 | WS_TABSTOP},
    {"DEFPUSHBUTTON", true, kClassButton, 0x0001 | WS_TABSTOP, 0x0001 | WS_TABSTOP},
    {"COMBOBOX", false, kClassComboBox, 0x0001 | WS_TABSTOP, 0},
    {"EDITTEXT", false, kClassEdit, WS_BORDER | WS_TABSTOP, WS_BORDER | WS_TABSTOP},
};

// ---- Errors ------------------------------------------------------------------------------------

struct ScriptError
{
    std::string text;
};

[[noreturn]] void Fail(const std::string& file, int line, const std::string& text)
{
    throw ScriptError{file + ":" + std::to_string(line) + ": error: " + text};
}

// ---- Tokens ------------------------------------------------------------------------------------

enum class TokenKind
{
    Name,
    Number,
    String,
    Punct,
    End,
};

struct Token
{
    TokenKind kind = TokenKind::End;
    std::string text;    // Name: the name; Punct: the character; String: the decoded UTF-8 text
    uint32_t number = 0; // Number
    std::string file;
    int line = 0;
};

// One logical line of the script after preprocessing, with where it came from.
struct SourceLine
{
    std::string text;
    std::string file;
    int line = 0;
};

bool IsNameStart(char c)
{
    return isalpha(static_cast<unsigned char>(c)) || c == '_';
}

bool IsNameChar(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Removes // and /* */ comments; `inComment` carries a block comment across lines.
std::string StripComments(const std::string& line, bool& inComment)
{
    std::string out;
    bool inString = false;
    for (size_t i = 0; i < line.size(); ++i)
    {
        char c = line[i];
        if (inComment)
        {
            if (c == '*' && i + 1 < line.size() && line[i + 1] == '/')
            {
                inComment = false;
                ++i;
                out.push_back(' ');
            }
            continue;
        }
        if (inString)
        {
            out.push_back(c);
            if (c == '\\' && i + 1 < line.size())
            {
                out.push_back(line[++i]);
            }
            else if (c == '"')
            {
                inString = false;
            }
            continue;
        }
        if (c == '"')
        {
            inString = true;
        }
        else if (c == '/' && i + 1 < line.size() && line[i + 1] == '/')
        {
            break;
        }
        else if (c == '/' && i + 1 < line.size() && line[i + 1] == '*')
        {
            inComment = true;
            ++i;
            continue;
        }
        out.push_back(c);
    }
    return out;
}

std::string Trim(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
    {
        return std::string();
    }
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

class Compiler
{
  public:
    explicit Compiler(std::vector<std::filesystem::path> includeDirs) : m_includeDirs(std::move(includeDirs))
    {
    }

    std::vector<Resource> Compile(const std::filesystem::path& script)
    {
        ReadFile(script, false, script.string(), 0);
        for (const SourceLine& line : m_lines)
        {
            Tokenize(line);
        }
        Token end;
        end.kind = TokenKind::End;
        end.file = script.string();
        end.line = m_lines.empty() ? 1 : m_lines.back().line;
        m_tokens.push_back(end);
        ParseScript();
        return Emit();
    }

    const std::vector<std::filesystem::path>& Inputs() const { return m_inputs; }

  private:
    // ---- Preprocessing ----

    void ReadFile(const std::filesystem::path& path, bool header, const std::string& fromFile, int fromLine)
    {
        std::ifstream in(path, std::ios::binary);
        if (!in)
        {
            if (fromLine == 0)
            {
                throw ScriptError{path.string() + ": error: cannot open the file"};
            }
            Fail(fromFile, fromLine, "cannot open " + path.string());
        }
        if (m_inputs.size() > 64)
        {
            Fail(fromFile, fromLine, "#include nested too deeply");
        }
        m_inputs.push_back(path);
        const std::string file = path.string();
        std::string text;
        int number = 0;
        bool inComment = false;
        std::string pending; // a line continued with a backslash
        int pendingLine = 0;
        while (std::getline(in, text))
        {
            ++number;
            if (number == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0)
            {
                text.erase(0, 3);
            }
            if (!text.empty() && text.back() == '\r')
            {
                text.pop_back();
            }
            if (pending.empty())
            {
                pendingLine = number;
            }
            if (!text.empty() && text.back() == '\\')
            {
                text.pop_back();
                pending += text;
                continue;
            }
            std::string line = StripComments(pending + text, inComment);
            pending.clear();
            std::string trimmed = Trim(line);
            if (!trimmed.empty() && trimmed[0] == '#')
            {
                Directive(path, trimmed.substr(1), file, pendingLine);
                continue;
            }
            if (header || trimmed.empty())
            {
                // The resource compiler reads only the directives of a header.
                continue;
            }
            m_lines.push_back(SourceLine{line, file, pendingLine});
        }
    }

    void Directive(const std::filesystem::path& path, const std::string& body, const std::string& file,
                   int line)
    {
        std::string rest = Trim(body);
        size_t nameEnd = 0;
        while (nameEnd < rest.size() && IsNameChar(rest[nameEnd]))
        {
            ++nameEnd;
        }
        const std::string name = rest.substr(0, nameEnd);
        rest = Trim(rest.substr(nameEnd));
        if (name == "include")
        {
            if (rest.size() >= 2 && rest.front() == '<' && rest.back() == '>')
            {
                if (DefinesWindowsConstants(rest.substr(1, rest.size() - 2)))
                {
                    m_windowsConstants = true;
                }
                return;
            }
            if (rest.size() < 2 || rest.front() != '"' || rest.back() != '"')
            {
                Fail(file, line, "#include needs a \"file\" or <file> name");
            }
            const std::string included = rest.substr(1, rest.size() - 2);
            std::vector<std::filesystem::path> candidates{path.parent_path() / included};
            for (const std::filesystem::path& dir : m_includeDirs)
            {
                candidates.push_back(dir / included);
            }
            for (const std::filesystem::path& candidate : candidates)
            {
                if (std::filesystem::is_regular_file(candidate))
                {
                    ReadFile(candidate, true, file, line);
                    return;
                }
            }
            Fail(file, line, "cannot find the included file \"" + included + "\"");
        }
        if (name == "define")
        {
            size_t end = 0;
            while (end < rest.size() && IsNameChar(rest[end]))
            {
                ++end;
            }
            if (end == 0 || !IsNameStart(rest[0]))
            {
                Fail(file, line, "#define needs a name");
            }
            if (end < rest.size() && rest[end] == '(')
            {
                Fail(file, line, "macros with parameters are not supported");
            }
            m_defines[rest.substr(0, end)] = Define{Trim(rest.substr(end)), file, line};
            return;
        }
        if (name == "undef")
        {
            m_defines.erase(rest);
            return;
        }
        if (name == "pragma")
        {
            std::string compact;
            for (char c : rest)
            {
                if (c != ' ' && c != '\t')
                {
                    compact.push_back(c);
                }
            }
            if (compact == "once")
            {
                return;
            }
            if (compact.compare(0, 10, "code_page(") == 0 && compact.back() == ')')
            {
                const std::string page = compact.substr(10, compact.size() - 11);
                if (page != "65001")
                {
                    Fail(file, line,
                         "#pragma code_page(" + page +
                             ") is not supported: write the script in UTF-8 "
                             "with #pragma code_page(65001)");
                }
                m_utf8 = true;
                return;
            }
            Fail(file, line, "unsupported #pragma " + rest);
        }
        Fail(file, line, "unsupported preprocessor directive #" + name);
    }

    // ---- Tokens ----

    void Tokenize(const SourceLine& source)
    {
        const std::string& s = source.text;
        size_t i = 0;
        auto token = [&](TokenKind kind) {
            Token t;
            t.kind = kind;
            t.file = source.file;
            t.line = source.line;
            return t;
        };
        while (i < s.size())
        {
            char c = s[i];
            if (c == ' ' || c == '\t' || c == '\r')
            {
                ++i;
                continue;
            }
            if ((c == 'L' || c == 'l') && i + 1 < s.size() && s[i + 1] == '"')
            {
                ++i; // a wide string is the same string here
                continue;
            }
            if (c == '"')
            {
                Token t = token(TokenKind::String);
                t.text = ReadString(source, i);
                m_tokens.push_back(t);
                continue;
            }
            if (isdigit(static_cast<unsigned char>(c)))
            {
                Token t = token(TokenKind::Number);
                size_t start = i;
                uint64_t value = 0;
                if (c == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X'))
                {
                    i += 2;
                    if (i >= s.size() || !isxdigit(static_cast<unsigned char>(s[i])))
                    {
                        Fail(source.file, source.line, "a hexadecimal number needs digits");
                    }
                    while (i < s.size() && isxdigit(static_cast<unsigned char>(s[i])))
                    {
                        char d = static_cast<char>(tolower(static_cast<unsigned char>(s[i++])));
                        value = value * 16 + static_cast<uint64_t>(isdigit(static_cast<unsigned char>(d))
                                                                       ? d - '0'
                                                                       : d - 'a' + 10);
                        value &= 0xFFFFFFFFull;
                    }
                }
                else
                {
                    while (i < s.size() && isdigit(static_cast<unsigned char>(s[i])))
                    {
                        value = (value * 10 + static_cast<uint64_t>(s[i++] - '0')) & 0xFFFFFFFFull;
                    }
                }
                while (i < s.size() && (s[i] == 'L' || s[i] == 'l' || s[i] == 'U' || s[i] == 'u'))
                {
                    ++i;
                }
                if (i < s.size() && IsNameChar(s[i]))
                {
                    Fail(source.file, source.line, "bad number " + s.substr(start, i - start + 1));
                }
                t.number = static_cast<uint32_t>(value);
                m_tokens.push_back(t);
                continue;
            }
            if (IsNameStart(c))
            {
                size_t start = i;
                while (i < s.size() && IsNameChar(s[i]))
                {
                    ++i;
                }
                Token t = token(TokenKind::Name);
                t.text = s.substr(start, i - start);
                m_tokens.push_back(t);
                continue;
            }
            if (std::string_view(",|&+-~(){}").find(c) != std::string_view::npos)
            {
                Token t = token(TokenKind::Punct);
                t.text = std::string(1, c);
                m_tokens.push_back(t);
                ++i;
                continue;
            }
            Fail(source.file, source.line, std::string("unexpected character '") + c + "'");
        }
    }

    // Reads a quoted string at s[i] (the opening quote) and decodes its escapes.
    std::string ReadString(const SourceLine& source, size_t& i)
    {
        const std::string& s = source.text;
        std::string out;
        ++i;
        while (true)
        {
            if (i >= s.size())
            {
                Fail(source.file, source.line, "the string has no closing quote");
            }
            char c = s[i++];
            if (c == '"')
            {
                if (i < s.size() && s[i] == '"')
                {
                    out.push_back('"');
                    ++i;
                    continue;
                }
                break;
            }
            if (c != '\\')
            {
                if (static_cast<unsigned char>(c) >= 0x80 && !m_utf8)
                {
                    Fail(source.file, source.line,
                         "text that is not ASCII needs #pragma code_page(65001) before it");
                }
                out.push_back(c);
                continue;
            }
            if (i >= s.size())
            {
                Fail(source.file, source.line, "the string has no closing quote");
            }
            char e = s[i++];
            switch (e)
            {
            case 'r':
                out.push_back('\r');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'a':
                out.push_back('\a');
                break;
            case '\\':
                out.push_back('\\');
                break;
            case '"':
                out.push_back('"');
                break;
            default:
                Fail(source.file, source.line, std::string("unsupported escape \\") + e + " in a string");
            }
        }
        if (!m_utf8)
        {
            return out;
        }
        if (ToUtf8(ToUtf16(out)) != out)
        {
            Fail(source.file, source.line, "the string is not valid UTF-8");
        }
        return out;
    }

    // ---- Parsing ----

    const Token& Peek(size_t ahead = 0) const
    {
        size_t at = m_at + ahead;
        return m_tokens[at < m_tokens.size() ? at : m_tokens.size() - 1];
    }

    const Token& Next()
    {
        const Token& t = Peek();
        if (m_at < m_tokens.size() - 1)
        {
            ++m_at;
        }
        return t;
    }

    [[noreturn]] void FailAt(const Token& t, const std::string& text) const { Fail(t.file, t.line, text); }

    static std::string Describe(const Token& t)
    {
        switch (t.kind)
        {
        case TokenKind::Name:
            return t.text;
        case TokenKind::Number:
            return std::to_string(t.number);
        case TokenKind::String:
            return "\"" + t.text + "\"";
        case TokenKind::Punct:
            return "'" + t.text + "'";
        case TokenKind::End:
            break;
        }
        return "the end of the file";
    }

    bool IsKeyword(const Token& t, const char* keyword) const
    {
        return t.kind == TokenKind::Name && t.text == keyword;
    }

    bool IsPunct(const Token& t, char c) const { return t.kind == TokenKind::Punct && t.text[0] == c; }

    void ExpectComma()
    {
        const Token& t = Next();
        if (!IsPunct(t, ','))
        {
            FailAt(t, "expected ',' but found " + Describe(t));
        }
    }

    bool SkipComma()
    {
        if (IsPunct(Peek(), ','))
        {
            Next();
            return true;
        }
        return false;
    }

    void ExpectBegin()
    {
        const Token& t = Next();
        if (!IsKeyword(t, "BEGIN") && !IsPunct(t, '{'))
        {
            FailAt(t, "expected BEGIN but found " + Describe(t));
        }
    }

    bool AtEnd() const { return IsKeyword(Peek(), "END") || IsPunct(Peek(), '}'); }

    // A name's value: a #define (its text evaluated) or a constant of windows.h.
    std::optional<uint32_t> NameValue(const Token& name)
    {
        auto define = m_defines.find(name.text);
        if (define != m_defines.end())
        {
            if (m_expanding.count(name.text) != 0)
            {
                FailAt(name, name.text + " is defined in terms of itself");
            }
            m_expanding.insert(name.text);
            Compiler inner(m_includeDirs);
            inner.m_defines = m_defines;
            inner.m_windowsConstants = m_windowsConstants;
            inner.m_expanding = m_expanding;
            inner.Tokenize(SourceLine{define->second.text, define->second.file, define->second.line});
            Token end;
            end.file = define->second.file;
            end.line = define->second.line;
            inner.m_tokens.push_back(end);
            if (inner.m_tokens.size() == 1)
            {
                FailAt(name, name.text + " is defined without a value");
            }
            uint32_t value = inner.Expression();
            if (inner.Peek().kind != TokenKind::End)
            {
                FailAt(name, name.text + " is not defined as a number");
            }
            m_expanding.erase(name.text);
            return value;
        }
        if (m_windowsConstants)
        {
            for (const NamedConstant& constant : kWindowsConstants)
            {
                if (name.text == constant.name)
                {
                    return constant.value;
                }
            }
        }
        return std::nullopt;
    }

    // expression: term { ('|' | '&' | '+' | '-') term }, evaluated left to right as windres does.
    uint32_t Expression()
    {
        uint32_t value = Unary();
        while (true)
        {
            const Token& t = Peek();
            if (IsPunct(t, '|') || IsPunct(t, '&') || IsPunct(t, '+') || IsPunct(t, '-'))
            {
                char op = Next().text[0];
                uint32_t right = Unary();
                value = op == '|'   ? (value | right)
                        : op == '&' ? (value & right)
                        : op == '+' ? value + right
                                    : value - right;
                continue;
            }
            return value;
        }
    }

    uint32_t Unary()
    {
        const Token& t = Next();
        if (IsPunct(t, '-'))
        {
            return 0u - Unary();
        }
        if (IsPunct(t, '~'))
        {
            return ~Unary();
        }
        if (IsPunct(t, '('))
        {
            uint32_t value = Expression();
            const Token& close = Next();
            if (!IsPunct(close, ')'))
            {
                FailAt(close, "expected ')' but found " + Describe(close));
            }
            return value;
        }
        if (t.kind == TokenKind::Number)
        {
            return t.number;
        }
        if (t.kind == TokenKind::Name)
        {
            if (std::optional<uint32_t> value = NameValue(t))
            {
                return *value;
            }
            FailAt(t, "unknown name " + t.text +
                          (m_windowsConstants ? "" : " (is #include <windows.h> missing?)"));
        }
        FailAt(t, "expected a number but found " + Describe(t));
    }

    // A style: `start` changed by each term, '|' setting its bits and NOT clearing them.
    uint32_t Style(uint32_t start)
    {
        uint32_t style = start;
        while (true)
        {
            if (IsKeyword(Peek(), "NOT"))
            {
                Next();
                style &= ~Unary();
            }
            else
            {
                style |= Unary();
            }
            if (!IsPunct(Peek(), '|'))
            {
                return style;
            }
            Next();
        }
    }

    std::string StringToken()
    {
        const Token& t = Next();
        if (t.kind != TokenKind::String)
        {
            FailAt(t, "expected a string but found " + Describe(t));
        }
        std::string text = t.text;
        while (Peek().kind == TokenKind::String)
        {
            text += Next().text;
        }
        return text;
    }

    // The number naming a resource: a number or a #defined name.
    uint32_t ResourceId(const Token& t)
    {
        if (t.kind == TokenKind::Number)
        {
            return t.number & 0xFFFF;
        }
        if (t.kind == TokenKind::Name)
        {
            if (std::optional<uint32_t> value = NameValue(t))
            {
                return *value & 0xFFFF;
            }
            FailAt(t, "named resources are not supported: " + t.text + " is not #defined as a number");
        }
        FailAt(t, "expected a resource name but found " + Describe(t));
    }

    static bool IsMemoryFlag(const Token& t)
    {
        static const char* const flags[] = {"DISCARDABLE", "MOVEABLE",   "FIXED",  "PURE",     "IMPURE",
                                            "PRELOAD",     "LOADONCALL", "SHARED", "NONSHARED"};
        if (t.kind != TokenKind::Name)
        {
            return false;
        }
        for (const char* flag : flags)
        {
            if (t.text == flag)
            {
                return true;
            }
        }
        return false;
    }

    uint16_t LanguageStatement()
    {
        uint32_t primary = Expression();
        ExpectComma();
        uint32_t sub = Expression();
        return static_cast<uint16_t>(((sub & 0x3F) << 10) | (primary & 0x3FF));
    }

    void ParseScript()
    {
        while (Peek().kind != TokenKind::End)
        {
            const Token& t = Peek();
            if (IsKeyword(t, "LANGUAGE"))
            {
                Next();
                m_language = LanguageStatement();
            }
            else if (IsKeyword(t, "STRINGTABLE"))
            {
                Next();
                StringTable();
            }
            else if (IsKeyword(Peek(1), "DIALOG") || IsKeyword(Peek(1), "DIALOGEX"))
            {
                const Token& name = Next();
                uint32_t id = ResourceId(name);
                bool extended = Next().text == "DIALOGEX";
                Dialog(name, id, extended);
            }
            else if (Peek(1).kind == TokenKind::Name && !IsKeyword(Peek(1), "BEGIN"))
            {
                FailAt(Peek(1), "unsupported resource type " + Peek(1).text);
            }
            else
            {
                FailAt(t, "unexpected " + Describe(t));
            }
        }
    }

    void StringTable()
    {
        uint16_t language = m_language;
        while (!IsKeyword(Peek(), "BEGIN") && !IsPunct(Peek(), '{'))
        {
            const Token& t = Next();
            if (IsKeyword(t, "LANGUAGE"))
            {
                language = LanguageStatement();
            }
            else if (!IsMemoryFlag(t))
            {
                FailAt(t, "unsupported STRINGTABLE option " + Describe(t));
            }
        }
        ExpectBegin();
        while (!AtEnd())
        {
            const Token& at = Peek();
            if (at.kind == TokenKind::End)
            {
                FailAt(at, "STRINGTABLE has no END");
            }
            uint32_t id = Expression() & 0xFFFF;
            SkipComma();
            std::string text = StringToken();
            auto& table = m_strings[language];
            if (!table.emplace(id, ToUtf16(text)).second)
            {
                FailAt(at, "string " + std::to_string(id) + " is defined twice for language " +
                               std::to_string(language));
            }
        }
        Next();
    }

    struct Control
    {
        std::string text; // UTF-8
        uint32_t id = 0;
        bool classIsAtom = true;
        uint16_t classAtom = 0;
        std::u16string className;
        uint32_t style = 0;
        uint32_t exStyle = 0;
        int16_t x = 0, y = 0, cx = 0, cy = 0;
    };

    struct DialogTemplate
    {
        bool extended = false;
        uint32_t style = 0;
        uint32_t exStyle = 0;
        int16_t x = 0, y = 0, cx = 0, cy = 0;
        uint32_t helpId = 0;
        std::string caption;
        bool font = false;
        uint16_t pointSize = 0;
        uint16_t weight = 0;
        uint8_t italic = 0;
        uint8_t charset = 0;
        std::string face;
        std::vector<Control> controls;
    };

    static int16_t Coordinate(uint32_t value) { return static_cast<int16_t>(static_cast<uint16_t>(value)); }

    void Dialog(const Token& name, uint32_t id, bool extended)
    {
        DialogTemplate dialog;
        dialog.extended = extended;
        uint16_t language = m_language;
        while (IsMemoryFlag(Peek()))
        {
            Next();
        }
        dialog.x = Coordinate(Expression());
        ExpectComma();
        dialog.y = Coordinate(Expression());
        ExpectComma();
        dialog.cx = Coordinate(Expression());
        ExpectComma();
        dialog.cy = Coordinate(Expression());
        if (extended && SkipComma())
        {
            dialog.helpId = Expression();
        }
        // The style as windres builds it: CAPTION, FONT and each STYLE add to one value; without any
        // STYLE it starts from a pop-up window with a border and a system menu.
        uint32_t style = 0;
        bool styleGiven = false;
        while (!IsKeyword(Peek(), "BEGIN") && !IsPunct(Peek(), '{'))
        {
            const Token& t = Next();
            if (IsKeyword(t, "STYLE"))
            {
                style = Style(style);
                styleGiven = true;
            }
            else if (IsKeyword(t, "EXSTYLE"))
            {
                dialog.exStyle = Style(dialog.exStyle);
            }
            else if (IsKeyword(t, "CAPTION"))
            {
                dialog.caption = StringToken();
                style |= WS_CAPTION;
            }
            else if (IsKeyword(t, "FONT"))
            {
                dialog.font = true;
                dialog.pointSize = static_cast<uint16_t>(Expression());
                ExpectComma();
                dialog.face = StringToken();
                dialog.weight = 0;
                dialog.italic = 0;
                dialog.charset = kDefaultCharset;
                if (SkipComma())
                {
                    dialog.weight = static_cast<uint16_t>(Expression());
                    if (SkipComma())
                    {
                        dialog.italic = static_cast<uint8_t>(Expression());
                        if (SkipComma())
                        {
                            dialog.charset = static_cast<uint8_t>(Expression());
                        }
                    }
                }
                if (!extended && dialog.weight != 0)
                {
                    FailAt(t, "a DIALOG's FONT takes no weight, italic or character set (use DIALOGEX)");
                }
                style |= DS_SETFONT;
            }
            else if (IsKeyword(t, "LANGUAGE"))
            {
                language = LanguageStatement();
            }
            else if (t.kind == TokenKind::End)
            {
                FailAt(t, "the dialog has no BEGIN");
            }
            else
            {
                FailAt(t, "unsupported dialog statement " + Describe(t));
            }
        }
        dialog.style = styleGiven ? style : (WS_POPUP | WS_BORDER | WS_SYSMENU | style);
        ExpectBegin();
        while (!AtEnd())
        {
            if (Peek().kind == TokenKind::End)
            {
                FailAt(Peek(), "the dialog has no END");
            }
            dialog.controls.push_back(ControlStatement());
        }
        Next();
        for (const Resource& resource : m_dialogs)
        {
            if (resource.id == id && resource.language == language)
            {
                FailAt(name, "dialog " + std::to_string(id) + " is defined twice");
            }
        }
        m_dialogs.push_back(Resource{kResourceTypeDialog, id, language, DialogBytes(dialog)});
    }

    Control ControlStatement()
    {
        const Token& keyword = Next();
        Control control;
        if (IsKeyword(keyword, "CONTROL"))
        {
            control.text = StringToken();
            ExpectComma();
            control.id = Expression();
            ExpectComma();
            const Token& cls = Next();
            if (cls.kind != TokenKind::String)
            {
                FailAt(cls, "a CONTROL's class must be a quoted name");
            }
            // windres writes the class name in capitals.
            std::string upper;
            for (char c : cls.text)
            {
                upper.push_back(static_cast<char>(toupper(static_cast<unsigned char>(c))));
            }
            control.classIsAtom = false;
            control.className = ToUtf16(upper);
            ExpectComma();
            control.style = Style(WS_CHILD | WS_VISIBLE);
            ExpectComma();
            Rectangle(control);
            if (SkipComma())
            {
                control.exStyle = Style(0);
            }
            return control;
        }
        const ControlKind* kind = nullptr;
        for (const ControlKind& candidate : kControlKinds)
        {
            if (IsKeyword(keyword, candidate.keyword))
            {
                kind = &candidate;
            }
        }
        if (kind == nullptr)
        {
            FailAt(keyword, "unsupported control " + Describe(keyword));
        }
        if (kind->hasText)
        {
            control.text = StringToken();
            ExpectComma();
        }
        control.classAtom = kind->classAtom;
        control.id = Expression();
        ExpectComma();
        Rectangle(control);
        control.style = kind->defaultStyle | WS_CHILD | WS_VISIBLE;
        if (SkipComma())
        {
            control.style = Style(kind->baseStyle | WS_CHILD | WS_VISIBLE);
            if (SkipComma())
            {
                control.exStyle = Style(0);
            }
        }
        return control;
    }

    void Rectangle(Control& control)
    {
        control.x = Coordinate(Expression());
        ExpectComma();
        control.y = Coordinate(Expression());
        ExpectComma();
        control.cx = Coordinate(Expression());
        ExpectComma();
        control.cy = Coordinate(Expression());
    }

    // ---- Emitting ----

    static void Word(std::vector<uint8_t>& out, uint32_t value)
    {
        out.push_back(static_cast<uint8_t>(value));
        out.push_back(static_cast<uint8_t>(value >> 8));
    }

    static void Dword(std::vector<uint8_t>& out, uint32_t value)
    {
        Word(out, value & 0xFFFF);
        Word(out, value >> 16);
    }

    static void Text(std::vector<uint8_t>& out, const std::u16string& text)
    {
        for (char16_t unit : text)
        {
            Word(out, unit);
        }
        Word(out, 0);
    }

    static void AlignDword(std::vector<uint8_t>& out)
    {
        while (out.size() % 4 != 0)
        {
            out.push_back(0);
        }
    }

    static std::vector<uint8_t> DialogBytes(const DialogTemplate& d)
    {
        std::vector<uint8_t> out;
        if (d.extended)
        {
            Word(out, 1);
            Word(out, 0xFFFF);
            Dword(out, d.helpId);
            Dword(out, d.exStyle);
            Dword(out, d.style);
        }
        else
        {
            Dword(out, d.style);
            Dword(out, d.exStyle);
        }
        Word(out, static_cast<uint32_t>(d.controls.size()));
        Word(out, static_cast<uint16_t>(d.x));
        Word(out, static_cast<uint16_t>(d.y));
        Word(out, static_cast<uint16_t>(d.cx));
        Word(out, static_cast<uint16_t>(d.cy));
        Word(out, 0); // no menu
        Word(out, 0); // the dialog class
        Text(out, ToUtf16(d.caption));
        if ((d.style & DS_SETFONT) != 0)
        {
            Word(out, d.pointSize);
            if (d.extended)
            {
                Word(out, d.weight);
                out.push_back(d.italic);
                out.push_back(d.charset);
            }
            Text(out, ToUtf16(d.face));
        }
        for (const Control& c : d.controls)
        {
            AlignDword(out);
            if (d.extended)
            {
                Dword(out, 0); // help id
                Dword(out, c.exStyle);
                Dword(out, c.style);
            }
            else
            {
                Dword(out, c.style);
                Dword(out, c.exStyle);
            }
            Word(out, static_cast<uint16_t>(c.x));
            Word(out, static_cast<uint16_t>(c.y));
            Word(out, static_cast<uint16_t>(c.cx));
            Word(out, static_cast<uint16_t>(c.cy));
            if (d.extended)
            {
                Dword(out, c.id);
            }
            else
            {
                Word(out, c.id & 0xFFFF);
            }
            if (c.classIsAtom)
            {
                Word(out, 0xFFFF);
                Word(out, c.classAtom);
            }
            else
            {
                Text(out, c.className);
            }
            Text(out, ToUtf16(c.text));
            Word(out, 0); // no creation data
        }
        return out;
    }

    std::vector<Resource> Emit() const
    {
        std::vector<Resource> resources;
        for (const auto& [language, table] : m_strings)
        {
            std::map<uint32_t, std::vector<const std::pair<const uint32_t, std::u16string>*>> blocks;
            for (const auto& entry : table)
            {
                blocks[entry.first / 16 + 1].push_back(&entry);
            }
            for (const auto& [block, entries] : blocks)
            {
                std::u16string texts[16];
                for (const auto* entry : entries)
                {
                    texts[entry->first % 16] = entry->second;
                }
                std::vector<uint8_t> data;
                for (const std::u16string& text : texts)
                {
                    Word(data, static_cast<uint32_t>(text.size()));
                    for (char16_t unit : text)
                    {
                        Word(data, unit);
                    }
                }
                resources.push_back(Resource{kResourceTypeString, block, language, std::move(data)});
            }
        }
        resources.insert(resources.end(), m_dialogs.begin(), m_dialogs.end());
        return resources;
    }

    struct Define
    {
        std::string text;
        std::string file;
        int line = 0;
    };

    std::vector<std::filesystem::path> m_includeDirs;
    std::vector<std::filesystem::path> m_inputs;
    std::map<std::string, Define> m_defines;
    std::set<std::string> m_expanding;
    bool m_windowsConstants = false;
    bool m_utf8 = false;
    std::vector<SourceLine> m_lines;
    std::vector<Token> m_tokens;
    size_t m_at = 0;
    uint16_t m_language = 0x0409;
    std::map<uint16_t, std::map<uint32_t, std::u16string>> m_strings;
    std::vector<Resource> m_dialogs;
};

} // namespace

CompileResult CompileResourceScript(const std::filesystem::path& script,
                                    const std::vector<std::filesystem::path>& includeDirs)
{
    CompileResult result;
    Compiler compiler(includeDirs);
    try
    {
        result.resources = compiler.Compile(script);
        result.ok = true;
    }
    catch (const ScriptError& error)
    {
        result.error = error.text;
    }
    result.inputs = compiler.Inputs();
    return result;
}

} // namespace winsim::rc
