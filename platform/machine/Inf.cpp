#include "Inf.h"

#include "base/unicode.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace winsim::machine
{

namespace
{

std::string Trim(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
    {
        return {};
    }
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// Removes a comment (';' outside quotes).
std::string StripComment(const std::string& line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i)
    {
        if (line[i] == '"')
        {
            quoted = !quoted;
        }
        else if (line[i] == ';' && !quoted)
        {
            return line.substr(0, i);
        }
    }
    return line;
}

struct RawLine
{
    std::string text;
    int number;
};

// Splits a field list at commas outside quotes; quotes are kept for the later steps.
std::vector<std::string> SplitFields(const std::string& text)
{
    std::vector<std::string> fields;
    std::string current;
    bool quoted = false;
    for (char c : text)
    {
        if (c == '"')
        {
            quoted = !quoted;
            current.push_back(c);
        }
        else if (c == ',' && !quoted)
        {
            fields.push_back(Trim(current));
            current.clear();
        }
        else
        {
            current.push_back(c);
        }
    }
    fields.push_back(Trim(current));
    return fields;
}

// Substitutes %token% from the strings section, "%%" to "%", and removes quotes ("" is a quote).
std::string Resolve(const std::string& field, const std::map<std::string, std::string>& strings,
                    int lineNumber, const std::string& origin)
{
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < field.size(); ++i)
    {
        char c = field[i];
        if (c == '"')
        {
            if (quoted && i + 1 < field.size() && field[i + 1] == '"')
            {
                out.push_back('"');
                ++i;
                continue;
            }
            quoted = !quoted;
            continue;
        }
        if (c == '%')
        {
            size_t close = field.find('%', i + 1);
            if (close == std::string::npos)
            {
                throw std::runtime_error(origin + ":" + std::to_string(lineNumber) + ": unmatched %");
            }
            std::string token = field.substr(i + 1, close - i - 1);
            if (token.empty())
            {
                out.push_back('%');
            }
            else
            {
                auto it = strings.find(UpperCase(token));
                // Unknown tokens stay as written: numeric ones are directory ids resolved later.
                out += it != strings.end() ? it->second : "%" + token + "%";
            }
            i = close;
            continue;
        }
        out.push_back(c);
    }
    return out;
}

} // namespace

InfFile InfFile::Load(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
    {
        throw std::runtime_error("cannot read " + file.string());
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
    {
        std::u16string wide;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        {
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                 (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        }
        text = ToUtf8(wide);
    }
    else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
    {
        text = bytes.substr(3);
    }
    else
    {
        text = bytes;
    }
    InfFile inf = Parse(text, file.string());
    inf.m_path = file;
    return inf;
}

InfFile InfFile::Parse(const std::string& text, const std::string& origin)
{
    // First pass: sections of raw lines, with continuations joined.
    std::map<std::string, std::vector<RawLine>> raw;
    std::string current;
    std::istringstream stream(text);
    std::string line;
    int number = 0;
    std::string pending;
    int pendingStart = 0;
    while (std::getline(stream, line))
    {
        ++number;
        std::string content = Trim(StripComment(line));
        if (!pending.empty())
        {
            content = pending + content;
        }
        else
        {
            pendingStart = number;
        }
        if (!content.empty() && content.back() == '\\')
        {
            pending = content.substr(0, content.size() - 1);
            continue;
        }
        pending.clear();
        if (content.empty())
        {
            continue;
        }
        if (content.front() == '[')
        {
            size_t close = content.find(']');
            if (close == std::string::npos)
            {
                throw std::runtime_error(origin + ":" + std::to_string(number) +
                                         ": section header without ']'");
            }
            current = UpperCase(Trim(content.substr(1, close - 1)));
            raw[current];
            continue;
        }
        if (current.empty())
        {
            throw std::runtime_error(origin + ":" + std::to_string(number) + ": entry outside any section");
        }
        raw[current].push_back(RawLine{content, pendingStart});
    }

    // The strings section first, then every line resolved against it.
    std::map<std::string, std::string> strings;
    for (const auto& entry : raw["STRINGS"])
    {
        size_t equals = entry.text.find('=');
        if (equals == std::string::npos)
        {
            throw std::runtime_error(origin + ":" + std::to_string(entry.number) + ": string without '='");
        }
        std::string value = Trim(entry.text.substr(equals + 1));
        strings[UpperCase(Trim(entry.text.substr(0, equals)))] = Resolve(value, {}, entry.number, origin);
    }

    InfFile inf;
    for (const auto& [section, lines] : raw)
    {
        auto& parsed = inf.m_sections[section];
        for (const auto& entry : lines)
        {
            InfLine out;
            out.lineNumber = entry.number;
            std::string body = entry.text;
            // "key = values": an '=' outside quotes before any comma.
            bool quoted = false;
            for (size_t i = 0; i < body.size(); ++i)
            {
                if (body[i] == '"')
                {
                    quoted = !quoted;
                }
                else if (!quoted && body[i] == ',')
                {
                    break;
                }
                else if (!quoted && body[i] == '=')
                {
                    out.key = Resolve(Trim(body.substr(0, i)), strings, entry.number, origin);
                    body = body.substr(i + 1);
                    break;
                }
            }
            for (const std::string& field : SplitFields(body))
            {
                out.values.push_back(Resolve(field, strings, entry.number, origin));
            }
            parsed.push_back(std::move(out));
        }
    }
    return inf;
}

bool InfFile::HasSection(const std::string& name) const
{
    return m_sections.count(UpperCase(name)) != 0;
}

const std::vector<InfLine>& InfFile::Section(const std::string& name) const
{
    static const std::vector<InfLine> empty;
    auto it = m_sections.find(UpperCase(name));
    return it == m_sections.end() ? empty : it->second;
}

std::optional<std::string> InfFile::Value(const std::string& section, const std::string& key) const
{
    for (const InfLine& line : Section(section))
    {
        if (EqualsNoCase(line.key, key) && !line.values.empty())
        {
            return line.values.front();
        }
    }
    return std::nullopt;
}

std::vector<std::string> InfFile::ValuesOf(const std::string& section, const std::string& key) const
{
    std::vector<std::string> all;
    for (const InfLine& line : Section(section))
    {
        if (EqualsNoCase(line.key, key))
        {
            all.insert(all.end(), line.values.begin(), line.values.end());
        }
    }
    return all;
}

} // namespace winsim::machine
