// Parsing makecab's command line; see CommandLine.h.
#include "CommandLine.h"

#include <strings.h>

namespace winsim::makecab
{
namespace
{

bool IsSwitch(const std::string& arg)
{
    return arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-');
}

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool IsAbsolute(const std::string& path)
{
    return (!path.empty() && IsSeparator(path[0])) || (path.size() >= 2 && path[1] == ':');
}

// /D var=value. The compression variables change the cabinet; makecab's other variables (cabinet
// and disk sizes, names of the report files, ...) do not matter to a one-file cabinet and are
// accepted as they are.
bool Define(const std::string& definition, CommandLine& line, std::string& error)
{
    size_t equals = definition.find('=');
    if (equals == std::string::npos || equals == 0)
    {
        error = "/D expects var=value, not '" + definition + "'";
        return false;
    }
    std::string name = definition.substr(0, equals);
    std::string value = definition.substr(equals + 1);
    if (strcasecmp(name.c_str(), "CompressionType") == 0)
    {
        if (strcasecmp(value.c_str(), "MSZIP") == 0)
        {
            line.compression = Compression::MsZip;
        }
        else if (strcasecmp(value.c_str(), "NONE") == 0)
        {
            line.compression = Compression::None;
        }
        else
        {
            error = "CompressionType " + value + " is not supported (MSZIP or NONE)";
            return false;
        }
    }
    else if (strcasecmp(name.c_str(), "Compress") == 0)
    {
        if (strcasecmp(value.c_str(), "ON") == 0 || strcasecmp(value.c_str(), "TRUE") == 0 ||
            strcasecmp(value.c_str(), "YES") == 0 || value == "1")
        {
            line.compression = Compression::MsZip;
        }
        else if (strcasecmp(value.c_str(), "OFF") == 0 || strcasecmp(value.c_str(), "FALSE") == 0 ||
                 strcasecmp(value.c_str(), "NO") == 0 || value == "0")
        {
            line.compression = Compression::None;
        }
        else
        {
            error = "Compress expects ON or OFF, not '" + value + "'";
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error)
{
    line = CommandLine();
    int positional = 0;
    for (int i = 1; i < argc; i++)
    {
        std::string arg = argv[i];
        if (!IsSwitch(arg))
        {
            if (positional == 0)
            {
                line.source = arg;
            }
            else if (positional == 1)
            {
                line.destination = arg;
            }
            else
            {
                error = "unexpected argument '" + arg + "'";
                return false;
            }
            positional++;
            continue;
        }
        char option = static_cast<char>(arg[1] >= 'a' && arg[1] <= 'z' ? arg[1] - 'a' + 'A' : arg[1]);
        std::string rest = arg.substr(2);
        switch (option)
        {
        case '?':
            line.help = true;
            return true;
        case 'V':
            if (rest.empty())
            {
                line.verbosity = 1;
            }
            else if (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '3')
            {
                line.verbosity = rest[0] - '0';
            }
            else
            {
                error = "bad verbosity level '" + rest + "' (0 to 3)";
                return false;
            }
            break;
        case 'D':
        case 'L':
            if (!rest.empty())
            {
                error = "unknown switch '" + arg + "'";
                return false;
            }
            if (i + 1 >= argc)
            {
                error = std::string("/") + option + " needs a value";
                return false;
            }
            i++;
            if (option == 'L')
            {
                line.destinationFolder = argv[i];
            }
            else if (!Define(argv[i], line, error))
            {
                return false;
            }
            break;
        case 'F':
            error = "directive files (/F) are not supported";
            return false;
        default:
            error = "unknown switch '" + arg + "'";
            return false;
        }
    }
    if (line.source.empty())
    {
        error = "no source file given";
        return false;
    }
    return true;
}

std::string FileNameOf(const std::string& windowsPath)
{
    size_t last = windowsPath.find_last_of("\\/:");
    return last == std::string::npos ? windowsPath : windowsPath.substr(last + 1);
}

std::string DestinationPath(const CommandLine& line)
{
    std::string destination = line.destination;
    if (destination.empty())
    {
        destination = FileNameOf(line.source);
        if (!destination.empty())
        {
            destination.back() = '_';
        }
    }
    if (line.destinationFolder.empty() || IsAbsolute(destination))
    {
        return destination;
    }
    std::string folder = line.destinationFolder;
    if (!IsSeparator(folder.back()))
    {
        folder += '\\';
    }
    return folder + destination;
}

} // namespace winsim::makecab
