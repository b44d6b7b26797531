// makecab.exe: the cabinet maker of the simulated machine, at C:\Windows\System32\makecab.exe on
// every machine's drive C:. It makes a Microsoft cabinet (.cab) of one file, as Windows' makecab
// does in its single-file form:
//
//   makecab [/V[n]] [/D var=value ...] [/L dir] <source> [<destination>]
//
// Paths are Windows paths, relative to the current directory or absolute (C:\ is the machine's
// drive C: folder); they map to host paths as the machine's kernel32 maps them. The cabinet holds
// the source under its file name, MSZIP-compressed (unless /D CompressionType=NONE), with the
// file's modification time in local time. An existing destination is replaced; on any failure the
// destination is left as it was.
//
// Exit codes: 0 the cabinet was written; 1 bad command line; 2 the source cannot be read; 3 the
// cabinet cannot be made or written. Every message goes to standard output.
#include "CommandLine.h"

#include <winsim/user.h>

#include <libgcab.h>

#include <stdio.h>
#include <sys/stat.h>

#include <string>

namespace
{

using winsim::makecab::CommandLine;
using winsim::makecab::Compression;

enum ExitCode
{
    ExitSuccess = 0,
    ExitUsage = 1,
    ExitSource = 2,
    ExitDestination = 3,
};

void PrintUsage()
{
    printf("Cabinet maker: stores one file in a Microsoft cabinet (.cab).\n"
           "\n"
           "MAKECAB [/V[n]] [/D var=value ...] [/L dir] source [destination]\n"
           "\n"
           "  source       File to compress.\n"
           "  destination  Name of the cabinet. Without it, the source's file name with its\n"
           "               last character replaced by '_'.\n"
           "  /D var=value Sets a variable: CompressionType=MSZIP|NONE, Compress=ON|OFF.\n"
           "  /L dir       Folder of the destination (default: the current directory).\n"
           "  /V[n]        Verbosity (0 to 3).\n");
}

// Owns one GLib object reference.
template <typename T>
class Ref
{
  public:
    explicit Ref(T* object = nullptr) : m_object(object) {}
    ~Ref()
    {
        if (m_object != nullptr)
        {
            g_object_unref(m_object);
        }
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* get() const { return m_object; }

  private:
    T* m_object;
};

// Owns a GError.
class Error
{
  public:
    ~Error()
    {
        if (m_error != nullptr)
        {
            g_error_free(m_error);
        }
    }
    GError** out() { return &m_error; }
    const char* message() const { return m_error != nullptr ? m_error->message : "unknown error"; }

  private:
    GError* m_error = nullptr;
};

bool HostPathOf(const std::string& windowsPath, std::string& hostPath)
{
    unsigned error = 0;
    return winsim::ToHostPath(windowsPath, hostPath, error);
}

int MakeCabinet(const CommandLine& line)
{
    std::string source;
    struct stat info;
    if (!HostPathOf(line.source, source) || stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    {
        printf("ERROR: cannot find source file %s\n", line.source.c_str());
        return ExitSource;
    }
    FILE* probe = fopen(source.c_str(), "rb");
    if (probe == nullptr)
    {
        printf("ERROR: cannot read source file %s\n", line.source.c_str());
        return ExitSource;
    }
    fclose(probe);

    std::string destinationPath = winsim::makecab::DestinationPath(line);
    std::string destination;
    if (!HostPathOf(destinationPath, destination))
    {
        printf("ERROR: cannot write cabinet %s: bad path\n", destinationPath.c_str());
        return ExitDestination;
    }

    std::string name = winsim::makecab::FileNameOf(line.source);
    GCabCompression compression =
        line.compression == Compression::MsZip ? GCAB_COMPRESSION_MSZIP : GCAB_COMPRESSION_NONE;
    Ref<GFile> sourceFile(g_file_new_for_path(source.c_str()));
    Ref<GCabFile> cabFile(gcab_file_new_with_file(name.c_str(), sourceFile.get()));
    Ref<GCabFolder> folder(gcab_folder_new(compression));
    Ref<GCabCabinet> cabinet(gcab_cabinet_new());
    Ref<GOutputStream> image(g_memory_output_stream_new_resizable());
    Error error;
    if (!gcab_folder_add_file(folder.get(), cabFile.get(), FALSE, nullptr, error.out()) ||
        !gcab_cabinet_add_folder(cabinet.get(), folder.get(), error.out()))
    {
        printf("ERROR: cannot add %s to the cabinet: %s\n", line.source.c_str(), error.message());
        return ExitDestination;
    }
    // Cabinets keep DOS dates and times, which are local time, as makecab writes them.
    GDateTime* modified = g_date_time_new_from_unix_local(info.st_mtime);
    gcab_file_set_date_time(cabFile.get(), modified);
    g_date_time_unref(modified);

    if (!gcab_cabinet_write_simple(cabinet.get(), image.get(), nullptr, nullptr, nullptr, error.out()) ||
        !g_output_stream_close(image.get(), nullptr, error.out()))
    {
        printf("ERROR: cannot compress %s: %s\n", line.source.c_str(), error.message());
        return ExitDestination;
    }
    auto* memory = G_MEMORY_OUTPUT_STREAM(image.get());
    gsize size = g_memory_output_stream_get_data_size(memory);
    // Written to a temporary file beside the destination and renamed over it: an existing cabinet
    // is replaced whole or not at all.
    Ref<GFile> destinationFile(g_file_new_for_path(destination.c_str()));
    if (!g_file_replace_contents(destinationFile.get(),
                                 static_cast<const char*>(g_memory_output_stream_get_data(memory)), size,
                                 nullptr, FALSE, G_FILE_CREATE_NONE, nullptr, nullptr, error.out()))
    {
        printf("ERROR: cannot write cabinet %s: %s\n", destinationPath.c_str(), error.message());
        return ExitDestination;
    }

    printf("Cabinet maker\n"
           "  Source:       %s, %lld bytes\n"
           "  Cabinet:      %s, %llu bytes (%s)\n",
           line.source.c_str(), static_cast<long long>(info.st_size), destinationPath.c_str(),
           static_cast<unsigned long long>(size),
           line.compression == Compression::MsZip ? "MSZIP" : "no compression");
    return ExitSuccess;
}

} // namespace

int main(int argc, char** argv)
{
    CommandLine line;
    std::string error;
    if (!winsim::makecab::ParseCommandLine(argc, argv, line, error))
    {
        printf("ERROR: %s\n\n", error.c_str());
        PrintUsage();
        return ExitUsage;
    }
    if (line.help)
    {
        PrintUsage();
        return ExitSuccess;
    }
    return MakeCabinet(line);
}
