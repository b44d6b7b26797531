#include "Scanner.h"

#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <array>

namespace winsim::wpp
{
namespace
{

struct Token
{
    enum Kind
    {
        End,
        Identifier,
        Number,
        String,
        Char,
        Punct,
    } kind = End;
    std::string text;   // as written
    std::string value;  // String: the bytes it stands for
    std::string prefix; // String: encoding prefix ("", "u8", "L", "u", "U")
    int line = 0;
};

bool IsIdentifierStart(char c)
{
    return isalpha(static_cast<unsigned char>(c)) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

bool IsIdentifierChar(char c)
{
    return IsIdentifierStart(c) || isdigit(static_cast<unsigned char>(c));
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80)
    {
        out += static_cast<char>(cp);
    }
    else if (cp < 0x800)
    {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else if (cp < 0x10000)
    {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Lexer
{
  public:
    explicit Lexer(const std::string& text) : m_text(text) {}

    // The next token, or nullopt with *error set.
    std::optional<Token> Next(ScanError* error)
    {
        m_error = error;
        while (m_at < m_text.size())
        {
            const char c = m_text[m_at];
            if (c == '\n')
            {
                NewLine();
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v')
            {
                ++m_at;
                continue;
            }
            if (Splice())
            {
                continue;
            }
            if (c == '/' && Peek(1) == '/')
            {
                SkipLineComment();
                continue;
            }
            if (c == '/' && Peek(1) == '*')
            {
                if (!SkipBlockComment())
                {
                    return std::nullopt;
                }
                continue;
            }
            if (c == '#' && m_lineStart)
            {
                if (!SkipDirective())
                {
                    return std::nullopt;
                }
                continue;
            }
            m_lineStart = false;
            Token token;
            token.line = m_line;
            const size_t start = m_at;
            if (IsIdentifierStart(c))
            {
                while (m_at < m_text.size() && IsIdentifierChar(m_text[m_at]))
                {
                    ++m_at;
                }
                const std::string word = m_text.substr(start, m_at - start);
                static const char* const kStringPrefixes[] = {"L",  "u",  "U",  "u8", "R",
                                                              "LR", "uR", "UR", "u8R"};
                const bool prefix = std::any_of(std::begin(kStringPrefixes), std::end(kStringPrefixes),
                                                [&](const char* p) { return word == p; });
                if (prefix && Peek(0) == '"')
                {
                    return Literal(start, word, token);
                }
                if (prefix && word.back() != 'R' && Peek(0) == '\'')
                {
                    return Literal(start, word, token);
                }
                token.kind = Token::Identifier;
                token.text = word;
                return token;
            }
            if (isdigit(static_cast<unsigned char>(c)) ||
                (c == '.' && isdigit(static_cast<unsigned char>(Peek(1)))))
            {
                ++m_at;
                while (m_at < m_text.size())
                {
                    const char d = m_text[m_at];
                    if ((d == '+' || d == '-') && strchr("eEpP", m_text[m_at - 1]) != nullptr)
                    {
                        ++m_at;
                    }
                    else if (d == '\'' && IsIdentifierChar(Peek(1)))
                    {
                        m_at += 2; // digit separator
                    }
                    else if (IsIdentifierChar(d) || d == '.')
                    {
                        ++m_at;
                    }
                    else
                    {
                        break;
                    }
                }
                token.kind = Token::Number;
                token.text = m_text.substr(start, m_at - start);
                return token;
            }
            if (c == '"' || c == '\'')
            {
                return Literal(start, "", token);
            }
            token.kind = Token::Punct;
            token.text = std::string(1, c);
            ++m_at;
            return token;
        }
        Token end;
        end.line = m_line;
        return end;
    }

  private:
    char Peek(size_t ahead) const { return m_at + ahead < m_text.size() ? m_text[m_at + ahead] : '\0'; }

    bool Fail(int line, std::string message)
    {
        if (m_error != nullptr)
        {
            m_error->line = line;
            m_error->message = std::move(message);
        }
        return false;
    }

    void NewLine()
    {
        ++m_at;
        ++m_line;
        m_lineStart = true;
    }

    // A backslash that ends a line joins it with the next.
    bool Splice()
    {
        if (m_text[m_at] != '\\')
        {
            return false;
        }
        size_t next = m_at + 1;
        if (next < m_text.size() && m_text[next] == '\r')
        {
            ++next;
        }
        if (next < m_text.size() && m_text[next] == '\n')
        {
            m_at = next + 1;
            ++m_line;
            return true;
        }
        return false;
    }

    void SkipLineComment()
    {
        while (m_at < m_text.size() && m_text[m_at] != '\n')
        {
            if (!Splice())
            {
                ++m_at;
            }
        }
    }

    bool SkipBlockComment()
    {
        const int line = m_line;
        m_at += 2;
        while (m_at < m_text.size())
        {
            if (m_text[m_at] == '*' && Peek(1) == '/')
            {
                m_at += 2;
                return true;
            }
            if (m_text[m_at] == '\n')
            {
                ++m_line;
            }
            ++m_at;
        }
        return Fail(line, "comment is not closed");
    }

    // Skips a preprocessor directive to the end of its logical line.
    bool SkipDirective()
    {
        while (m_at < m_text.size() && m_text[m_at] != '\n')
        {
            const char c = m_text[m_at];
            if (Splice())
            {
                continue;
            }
            if (c == '/' && Peek(1) == '/')
            {
                SkipLineComment();
                break;
            }
            if (c == '/' && Peek(1) == '*')
            {
                if (!SkipBlockComment())
                {
                    return false;
                }
                continue;
            }
            if (c == '"' || c == '\'')
            {
                // A literal in a directive; never past the end of the line.
                ++m_at;
                while (m_at < m_text.size() && m_text[m_at] != c && m_text[m_at] != '\n')
                {
                    m_at += (m_text[m_at] == '\\' && Peek(1) != '\n') ? 2 : 1;
                }
                if (m_at < m_text.size() && m_text[m_at] == c)
                {
                    ++m_at;
                }
                continue;
            }
            ++m_at;
        }
        return true;
    }

    // A string or character literal whose prefix (possibly empty) starts at `start`.
    std::optional<Token> Literal(size_t start, const std::string& prefix, Token& token)
    {
        const bool raw = !prefix.empty() && prefix.back() == 'R';
        token.prefix = raw ? prefix.substr(0, prefix.size() - 1) : prefix;
        const char quote = m_text[m_at];
        token.kind = quote == '"' ? Token::String : Token::Char;
        ++m_at;
        if (raw)
        {
            const size_t open = m_text.find('(', m_at);
            if (open == std::string::npos || open - m_at > 16)
            {
                Fail(token.line, "malformed raw string literal");
                return std::nullopt;
            }
            const std::string close = ")" + m_text.substr(m_at, open - m_at) + "\"";
            const size_t end = m_text.find(close, open + 1);
            if (end == std::string::npos)
            {
                Fail(token.line, "raw string literal is not closed");
                return std::nullopt;
            }
            token.value = m_text.substr(open + 1, end - open - 1);
            m_line += static_cast<int>(std::count(token.value.begin(), token.value.end(), '\n'));
            m_at = end + close.size();
            token.text = m_text.substr(start, m_at - start);
            return token;
        }
        while (true)
        {
            if (m_at >= m_text.size() || m_text[m_at] == '\n')
            {
                Fail(token.line,
                     quote == '"' ? "string literal is not closed" : "character literal is not closed");
                return std::nullopt;
            }
            const char c = m_text[m_at];
            if (c == quote)
            {
                ++m_at;
                break;
            }
            if (c == '\\')
            {
                if (Splice())
                {
                    continue;
                }
                if (!Escape(token))
                {
                    return std::nullopt;
                }
                continue;
            }
            token.value += c;
            ++m_at;
        }
        token.text = m_text.substr(start, m_at - start);
        return token;
    }

    // One escape sequence, at the backslash.
    bool Escape(Token& token)
    {
        ++m_at;
        const char c = Peek(0);
        static const char kSimple[] = "n\nt\tr\rv\vb\bf\fa\a\\\\''\"\"??";
        for (size_t k = 0; k + 1 < sizeof(kSimple); k += 2)
        {
            if (c == kSimple[k])
            {
                token.value += kSimple[k + 1];
                ++m_at;
                return true;
            }
        }
        if (c >= '0' && c <= '7')
        {
            unsigned value = 0;
            for (int n = 0; n < 3 && Peek(0) >= '0' && Peek(0) <= '7'; ++n)
            {
                value = value * 8 + static_cast<unsigned>(m_text[m_at++] - '0');
            }
            if (value > 0xFF)
            {
                return Fail(token.line, "octal escape sequence out of range");
            }
            token.value += static_cast<char>(value);
            return true;
        }
        if (c == 'x')
        {
            ++m_at;
            unsigned value = 0;
            int digits = 0;
            while (isxdigit(static_cast<unsigned char>(Peek(0))))
            {
                const char d = m_text[m_at++];
                value = value * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(d))
                                                               ? d - '0'
                                                               : (tolower(d) - 'a' + 10));
                if (++digits > 2 && value > 0xFF)
                {
                    return Fail(token.line, "hex escape sequence out of range");
                }
            }
            if (digits == 0)
            {
                return Fail(token.line, "\\x used with no following hex digits");
            }
            token.value += static_cast<char>(value);
            return true;
        }
        if (c == 'u' || c == 'U')
        {
            ++m_at;
            const int count = c == 'u' ? 4 : 8;
            uint32_t value = 0;
            for (int n = 0; n < count; ++n)
            {
                const char d = Peek(0);
                if (!isxdigit(static_cast<unsigned char>(d)))
                {
                    return Fail(token.line, "incomplete universal character name");
                }
                value = value * 16 + static_cast<uint32_t>(isdigit(static_cast<unsigned char>(d))
                                                               ? d - '0'
                                                               : (tolower(d) - 'a' + 10));
                ++m_at;
            }
            if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            {
                return Fail(token.line, "invalid universal character name");
            }
            AppendUtf8(token.value, value);
            return true;
        }
        return Fail(token.line, std::string("unknown escape sequence '\\") + c + "'");
    }

    const std::string& m_text;
    size_t m_at = 0;
    int m_line = 1;
    bool m_lineStart = true;
    ScanError* m_error = nullptr;
};

// Argument text: tokens joined, with a space only between two word-like tokens.
std::string Join(const std::vector<Token>& tokens)
{
    std::string out;
    bool lastWord = false;
    for (const Token& token : tokens)
    {
        const bool word = token.kind != Token::Punct;
        if (word && lastWord)
        {
            out += ' ';
        }
        out += token.text;
        lastWord = word;
    }
    return out;
}

// ---- SHA-1 (FIPS 180-4), for the name-based module GUIDs ----------------------------------------

class Sha1
{
  public:
    void Update(const uint8_t* data, size_t size)
    {
        for (size_t i = 0; i < size; ++i)
        {
            m_block[m_used++] = data[i];
            m_bits += 8;
            if (m_used == 64)
            {
                Compress();
            }
        }
    }

    std::array<uint8_t, 20> Finish()
    {
        const uint64_t bits = m_bits;
        const uint8_t one = 0x80;
        Update(&one, 1);
        const uint8_t zero = 0;
        while (m_used != 56)
        {
            Update(&zero, 1);
        }
        for (int i = 7; i >= 0; --i)
        {
            const uint8_t byte = static_cast<uint8_t>(bits >> (8 * i));
            Update(&byte, 1);
        }
        std::array<uint8_t, 20> digest;
        for (int i = 0; i < 5; ++i)
        {
            for (int b = 0; b < 4; ++b)
            {
                digest[4 * i + b] = static_cast<uint8_t>(m_state[i] >> (24 - 8 * b));
            }
        }
        return digest;
    }

  private:
    static uint32_t Rotate(uint32_t value, int count) { return (value << count) | (value >> (32 - count)); }

    void Compress()
    {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i)
        {
            w[i] = (uint32_t{m_block[4 * i]} << 24) | (uint32_t{m_block[4 * i + 1]} << 16) |
                   (uint32_t{m_block[4 * i + 2]} << 8) | m_block[4 * i + 3];
        }
        for (int i = 16; i < 80; ++i)
        {
            w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        }
        uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3], e = m_state[4];
        for (int i = 0; i < 80; ++i)
        {
            uint32_t f, k;
            if (i < 20)
            {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            }
            else if (i < 40)
            {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            }
            else if (i < 60)
            {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            }
            else
            {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            const uint32_t t = Rotate(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = Rotate(b, 30);
            b = a;
            a = t;
        }
        m_state[0] += a;
        m_state[1] += b;
        m_state[2] += c;
        m_state[3] += d;
        m_state[4] += e;
        m_used = 0;
    }

    uint32_t m_state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    uint8_t m_block[64] = {};
    size_t m_used = 0;
    uint64_t m_bits = 0;
};

// The namespace of this project's trace module GUIDs (b1200f62-23d2-4b82-8ef2-edde87b77c9b).
constexpr uint8_t kModuleNamespace[16] = {0xb1, 0x20, 0x0f, 0x62, 0x23, 0xd2, 0x4b, 0x82,
                                          0x8e, 0xf2, 0xed, 0xde, 0x87, 0xb7, 0x7c, 0x9b};

} // namespace

std::optional<std::vector<TracePoint>> ScanTracePoints(const std::string& text,
                                                       const std::vector<std::string>& macros,
                                                       ScanError* error)
{
    auto fail = [&](int line, std::string message) -> std::optional<std::vector<TracePoint>> {
        if (error != nullptr)
        {
            error->line = line;
            error->message = std::move(message);
        }
        return std::nullopt;
    };

    Lexer lexer(text);
    std::vector<TracePoint> points;
    std::optional<Token> pending;
    while (true)
    {
        std::optional<Token> token = pending ? pending : lexer.Next(error);
        pending.reset();
        if (!token)
        {
            return std::nullopt;
        }
        if (token->kind == Token::End)
        {
            return points;
        }
        if (token->kind != Token::Identifier ||
            std::find(macros.begin(), macros.end(), token->text) == macros.end())
        {
            continue;
        }
        const Token name = *token;
        std::optional<Token> open = lexer.Next(error);
        if (!open)
        {
            return std::nullopt;
        }
        if (open->kind != Token::Punct || open->text != "(")
        {
            pending = open; // the name alone, not a trace point
            continue;
        }

        std::vector<std::vector<Token>> arguments(1);
        int depth = 0;
        int closeLine = 0;
        while (true)
        {
            std::optional<Token> next = lexer.Next(error);
            if (!next)
            {
                return std::nullopt;
            }
            if (next->kind == Token::End)
            {
                return fail(name.line, name.text + "( is not closed");
            }
            if (next->kind == Token::Punct)
            {
                const char c = next->text[0];
                if (c == '(' || c == '[' || c == '{')
                {
                    ++depth;
                }
                else if (c == ')' || c == ']' || c == '}')
                {
                    if (depth == 0)
                    {
                        if (c != ')')
                        {
                            return fail(next->line,
                                        std::string("unbalanced '") + c + "' in " + name.text + "(");
                        }
                        closeLine = next->line;
                        break;
                    }
                    --depth;
                }
                else if (c == ',' && depth == 0)
                {
                    arguments.emplace_back();
                    continue;
                }
            }
            arguments.back().push_back(*next);
        }

        if (arguments.size() < 3)
        {
            return fail(name.line, "a trace point takes a level, a flag and a format string");
        }
        for (size_t i = 0; i < arguments.size(); ++i)
        {
            if (arguments[i].empty())
            {
                return fail(name.line,
                            "argument " + std::to_string(i + 1) + " of " + name.text + " is empty");
            }
        }
        TracePoint point;
        point.line = name.line;
        point.closeLine = closeLine;
        point.level = Join(arguments[0]);
        point.flag = Join(arguments[1]);
        for (const Token& literal : arguments[2])
        {
            if (literal.kind != Token::String)
            {
                return fail(literal.line, "the format of a trace point must be string literals, found '" +
                                              literal.text + "'");
            }
            if (literal.prefix != "" && literal.prefix != "u8")
            {
                return fail(literal.line, "the format of a trace point must be a narrow string literal");
            }
            point.format += literal.value;
        }
        point.arguments = arguments.size() - 3;
        points.push_back(std::move(point));
    }
}

void ModuleGuidBytes(const std::string& name, uint8_t out[16])
{
    Sha1 sha;
    sha.Update(kModuleNamespace, sizeof(kModuleNamespace));
    sha.Update(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    const std::array<uint8_t, 20> digest = sha.Finish();
    memcpy(out, digest.data(), 16);
    out[6] = static_cast<uint8_t>((out[6] & 0x0F) | 0x50); // version 5
    out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80); // variant of RFC 4122
}

} // namespace winsim::wpp
