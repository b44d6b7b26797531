// Setup information (.inf) files: the sections, entries and string substitution of the format
// Windows installs driver packages from.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace winsim::machine
{

struct InfLine
{
    std::string key;                 // empty for a line without "key ="
    std::vector<std::string> values; // comma-separated fields, quotes removed, %strings% substituted
    int lineNumber = 0;
};

class InfFile
{
  public:
    // Parses a file (UTF-8, or UTF-16LE with a byte-order mark). Throws std::runtime_error naming
    // the file and line of a malformed line.
    static InfFile Load(const std::filesystem::path& file);
    static InfFile Parse(const std::string& text, const std::string& origin);

    bool HasSection(const std::string& name) const;
    // Lines of a section; empty when it does not exist. Section names compare without case.
    const std::vector<InfLine>& Section(const std::string& name) const;
    // The first value of "key = value" in a section.
    std::optional<std::string> Value(const std::string& section, const std::string& key) const;
    // All values of every "key = ..." line with that key in a section (for CopyFiles, AddReg...).
    std::vector<std::string> ValuesOf(const std::string& section, const std::string& key) const;

    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
    std::map<std::string, std::vector<InfLine>> m_sections; // upper-cased name
};

} // namespace winsim::machine
