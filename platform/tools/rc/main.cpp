// winsim-rc: the resource compiler of the build. Compiles a resource script (see ResourceScript.h
// for the part of the language it reads) into a C++ source that embeds the resources into the
// module being built (see base/resources.h), as the Windows resource compiler and linker put them
// into a PE file.
//
// Usage: winsim-rc [-I dir]... [--cpp file] [--symbol name] [--container file] [--depfile file]
//                  file.rc
//   -I dir            a folder to look for quoted #include files in, after the script's own folder
//   --cpp file        write the embedding C++ source to file
//   --symbol name     the source's array symbol (default: winsim_rsrc_<base name of the script>)
//   --container file  also write the bare resource container to file
//   --depfile file    write the files the script read, as a make rule for the C++ source
//
// Errors in the script are reported as "file:line: error: text" and nothing is written.

#include "ResourceScript.h"

#include "../OutputFile.h"

#include "base/resources.h"

#include <ctype.h>
#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

namespace
{

int Usage(const char* error)
{
    fprintf(stderr, "winsim-rc: %s\n", error);
    fprintf(stderr, "usage: winsim-rc [-I dir]... [--cpp file] [--symbol name] [--container file] "
                    "[--depfile file] file.rc\n");
    return 2;
}

std::string Identifier(const std::string& name)
{
    std::string out;
    for (char c : name)
    {
        out.push_back(isalnum(static_cast<unsigned char>(c)) ? c : '_');
    }
    return out;
}

std::string EscapedForMake(const std::string& path)
{
    std::string out;
    for (char c : path)
    {
        if (c == ' ' || c == '#' || c == ':')
        {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> includeDirs;
    std::string cppFile;
    std::string symbol;
    std::string containerFile;
    std::string depFile;
    std::string input;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
            {
                return false;
            }
            out = argv[++i];
            return true;
        };
        bool ok = true;
        if (arg == "-I")
        {
            std::string dir;
            ok = value(dir);
            includeDirs.push_back(dir);
        }
        else if (arg.size() > 2 && arg.compare(0, 2, "-I") == 0)
        {
            includeDirs.push_back(arg.substr(2));
        }
        else if (arg == "--cpp")
        {
            ok = value(cppFile);
        }
        else if (arg == "--symbol")
        {
            ok = value(symbol);
        }
        else if (arg == "--container")
        {
            ok = value(containerFile);
        }
        else if (arg == "--depfile")
        {
            ok = value(depFile);
        }
        else if (!arg.empty() && arg[0] == '-')
        {
            return Usage(("unknown option " + arg).c_str());
        }
        else if (input.empty())
        {
            input = arg;
        }
        else
        {
            return Usage("more than one script");
        }
        if (!ok)
        {
            return Usage((arg + " needs a value").c_str());
        }
    }
    if (input.empty())
    {
        return Usage("no script");
    }
    if (cppFile.empty() && containerFile.empty())
    {
        return Usage("nothing to write: give --cpp or --container");
    }

    winsim::rc::CompileResult result = winsim::rc::CompileResourceScript(input, includeDirs);
    if (!result.ok)
    {
        fprintf(stderr, "%s\n", result.error.c_str());
        return 1;
    }
    const std::vector<uint8_t> container = winsim::BuildResourceContainer(result.resources);
    if (symbol.empty())
    {
        symbol = "winsim_rsrc_" + Identifier(std::filesystem::path(input).stem().string());
    }
    if (!containerFile.empty() &&
        !winsim::tools::WriteWholeFile(containerFile, std::string(container.begin(), container.end()),
                                       "winsim-rc"))
    {
        return 1;
    }
    if (!cppFile.empty() && !winsim::tools::WriteWholeFile(
                                cppFile,
                                winsim::ResourceContainerSource(
                                    container, symbol, std::filesystem::path(input).filename().string()),
                                "winsim-rc"))
    {
        return 1;
    }
    if (!depFile.empty())
    {
        std::string rule = EscapedForMake(cppFile.empty() ? containerFile : cppFile) + ":";
        for (const std::filesystem::path& file : result.inputs)
        {
            rule += " " + EscapedForMake(std::filesystem::absolute(file).string());
        }
        rule += "\n";
        if (!winsim::tools::WriteWholeFile(depFile, rule, "winsim-rc"))
        {
            return 1;
        }
    }
    return 0;
}
