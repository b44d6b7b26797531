// Helpers for tests that run real processes on the simulated machine: temporary folders, child
// processes with their output and exit code, file contents.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport
{

// A fresh folder, removed with everything in it when the object goes away.
class TempDir
{
  public:
    TempDir()
    {
        const char* base = getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/winsim-test-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back(0);
        if (mkdtemp(buffer.data()) != nullptr)
        {
            m_path = buffer.data();
        }
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    std::string Sub(const std::string& name) const
    {
        std::filesystem::create_directories(m_path + "/" + name);
        return m_path + "/" + name;
    }

  private:
    std::string m_path;
};

inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void WriteAll(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline bool Exists(const std::string& path)
{
    return std::filesystem::exists(path);
}

inline void CopyInto(const std::string& file, const std::string& folder)
{
    std::filesystem::copy_file(file, folder + "/" + std::filesystem::path(file).filename().string(),
                               std::filesystem::copy_options::overwrite_existing);
}

// The build folder (set by the test registration).
inline std::string BuildDir()
{
    const char* dir = getenv("WINSIM_BUILD_DIR");
    return dir != nullptr ? dir : ".";
}

// Splits text into lines at LF; a CR before the LF stays part of the line.
inline std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size())
    {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
        {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, eol - pos));
        pos = eol + 1;
    }
    return lines;
}

// A child process with its standard input and output connected to the test.
class Child
{
  public:
    Child(const std::vector<std::string>& argv, const std::string& cwd,
          const std::vector<std::pair<std::string, std::string>>& env = {})
    {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        {
            return;
        }
        std::vector<char*> args;
        for (const std::string& a : argv)
        {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0)
        {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            {
                _exit(120);
            }
            for (const auto& [name, value] : env)
            {
                setenv(name.c_str(), value.c_str(), 1);
            }
            execv(args[0], args.data());
            _exit(121);
        }
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~Child()
    {
        if (m_in >= 0)
        {
            close(m_in);
        }
        if (m_pid > 0 && !m_waited)
        {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_out >= 0)
        {
            close(m_out);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }

    void Send(const std::string& line)
    {
        std::string text = line + "\n";
        if (write(m_in, text.data(), text.size()) < 0)
        {
            return;
        }
    }

    // The next line the child prints, without its LF; empty at end of output.
    std::string ReadLine()
    {
        std::string line;
        char c;
        while (read(m_out, &c, 1) == 1)
        {
            if (c == '\n')
            {
                return line;
            }
            line.push_back(c);
        }
        return line;
    }

    // Everything the child still prints, then its exit code (0..255; 128+n for signal n).
    int Finish(std::string* rest = nullptr)
    {
        if (m_in >= 0)
        {
            close(m_in);
            m_in = -1;
        }
        std::string output;
        char buffer[4096];
        ssize_t n;
        while ((n = read(m_out, buffer, sizeof(buffer))) > 0)
        {
            output.append(buffer, static_cast<size_t>(n));
        }
        if (rest != nullptr)
        {
            *rest = output;
        }
        return Wait();
    }

  private:
    int Wait()
    {
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR)
        {
        }
        m_waited = true;
        if (WIFEXITED(status))
        {
            return WEXITSTATUS(status);
        }
        return 128 + WTERMSIG(status);
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    bool m_waited = false;
};

struct RunResult
{
    int exitCode;
    std::string output;
};

// A host program found in PATH as a shell finds it; empty when it is not installed.
inline std::string FindProgram(const std::string& name)
{
    const char* path = getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size())
    {
        size_t end = folders.find(':', start);
        std::string folder =
            folders.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
        {
            return candidate;
        }
        if (end == std::string::npos)
        {
            break;
        }
        start = end + 1;
    }
    return "";
}

// Runs a program to its end in the given folder and returns its exit code and standard output.
inline RunResult Run(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::vector<std::pair<std::string, std::string>>& env = {})
{
    Child child(argv, cwd, env);
    RunResult result;
    result.exitCode = child.Finish(&result.output);
    return result;
}

} // namespace testsupport
