// Helpers of the tools' tests: a private temporary folder, files, and running the real tools.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace toolstest
{

// A fresh folder for one test, removed afterwards.
class TempDir
{
  public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "winsim-tools-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
        {
            m_path = pattern;
        }
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!m_path.empty())
        {
            std::filesystem::remove_all(m_path, ec);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

  private:
    std::filesystem::path m_path;
};

inline std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path)
{
    const std::string text = ReadText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

inline void WriteText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

struct RunResult
{
    int exitCode = -1;
    std::string errors; // what the tool wrote to stderr
};

inline std::string Quote(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
    {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Runs a tool with arguments and collects its exit code and error output.
inline RunResult RunTool(const std::string& tool, const std::vector<std::string>& arguments,
                         const std::filesystem::path& errorFile)
{
    std::string command = Quote(tool);
    for (const std::string& argument : arguments)
    {
        command += " " + Quote(argument);
    }
    command += " 2>" + Quote(errorFile.string());
    RunResult result;
    const int status = system(command.c_str());
    if (status != -1 && WIFEXITED(status))
    {
        result.exitCode = WEXITSTATUS(status);
    }
    result.errors = ReadText(errorFile);
    return result;
}

// A host program found in PATH as a shell finds it; empty when it is not installed.
inline std::string FindProgram(const std::string& name)
{
    const char* path = getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':'))
    {
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
        {
            return candidate;
        }
    }
    return std::string();
}

} // namespace toolstest
