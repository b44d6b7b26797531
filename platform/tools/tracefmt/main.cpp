// winsim-tracefmt: prints the messages of a trace log file (.etl) as Windows' trace formatting tool
// does, one line per message, each rendered through the trace format files (.tmf) the driver's
// build wrote.
//
//   winsim-tracefmt FILE.etl FORMAT.tmf...
//
// Exit code 0 when the file was read whole, 1 when it or a format file could not be read (the
// reason goes to standard error), 2 for a wrong command line.
#include "base/etl.h"
#include "base/tracefmt.h"

#include <stdio.h>

#include <string>

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        fprintf(stderr, "usage: winsim-tracefmt FILE.etl FORMAT.tmf...\n");
        return 2;
    }
    winsim::TraceFormats formats;
    for (int i = 2; i < argc; ++i)
    {
        std::string error;
        std::optional<winsim::TraceFormats> loaded = winsim::TraceFormats::Load(argv[i], &error);
        if (!loaded)
        {
            fprintf(stderr, "winsim-tracefmt: %s\n", error.c_str());
            return 1;
        }
        formats.Merge(*loaded);
    }
    std::string error;
    std::optional<winsim::etl::LogFile> file = winsim::etl::ReadLogFile(argv[1], &error);
    if (!file)
    {
        fprintf(stderr, "winsim-tracefmt: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    for (const winsim::etl::MessageRecord& message : file->messages)
    {
        printf("%s\n", winsim::etl::FormatMessageLine(message, formats).c_str());
    }
    return 0;
}
