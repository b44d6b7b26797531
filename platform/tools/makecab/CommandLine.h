// The command line of makecab.exe in its single-file form:
//   makecab [/V[n]] [/D var=value ...] [/L dir] <source> [<destination>]
// Switches start with '/' or '-' and are not case-sensitive. /? asks for the usage text. The
// directive-file form (/F) is not supported.
#pragma once

#include <string>

namespace winsim::makecab
{

enum class Compression
{
    MsZip, // makecab's default
    None,
};

struct CommandLine
{
    bool help = false;
    int verbosity = 0; // /V[n], 0..3; /V alone is 1
    Compression compression = Compression::MsZip;
    std::string destinationFolder; // /L dir, a Windows path; empty for the current directory
    std::string source;            // a Windows path
    std::string destination;       // a Windows path; empty when the command line gives none
};

// Parses argv[1..argc-1]. On a bad command line returns false with a message naming the problem.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error);

// The cabinet's Windows path: the destination (or, without one, the source's file name with its
// last character replaced by '_'), inside the /L folder when one is given and the destination is
// relative.
std::string DestinationPath(const CommandLine& line);

// The last component of a Windows path ("C:\logs\TARNOCOM.etl" -> "TARNOCOM.etl").
std::string FileNameOf(const std::string& windowsPath);

} // namespace winsim::makecab
