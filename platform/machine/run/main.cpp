// winsim-run: runs a Windows program (built for the simulated machine) on a machine that has the
// driver package installed and a reader plugged in.
//
//   winsim-run [options] [--] PROGRAM [ARGUMENT...]
//
// It writes the machine's description into a machine folder and starts the program with
// WINSIM_ROOT naming that folder; the program boots the machine in its own process when it first
// calls into the kernel, on real time (or on a virtual clock that moves on whenever all waits). The program's exit code is winsim-run's.
#include "machine/Description.h"

#include "ProductConstants.h"

#include "base/unicode.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

void Usage(FILE* out)
{
    fprintf(out,
            "usage: winsim-run [options] [--] PROGRAM [ARGUMENT...]\n"
            "Runs a Windows program built for the simulated machine on a machine with the driver\n"
            "package installed and a reader plugged in.\n"
            "\n"
            "options:\n"
            "  --root DIR            the machine's folder (kept afterwards; default: a temporary one)\n"
            "  --package INF         a driver package to install (default: %s)\n"
            "  --no-package          install no driver package\n"
            "  --reader VID:PID[:SN] plug in a reader (default: %s:%s:TR0001); may repeat\n"
            "  --no-reader           plug in no reader\n"
            "  --clock real|virtual  the machine's clock (default: real); a virtual clock moves on to\n"
            "                        the next deadline whenever every thread of the machine waits\n"
            "  --trace-session NAME  start a trace session at boot writing C:\\Windows\\System32\\NAME.etl\n"
            "                        with the driver's provider enabled\n"
            "  --trace-level N       its level (default: 5, verbose)\n"
            "  --trace-flags N       its enable flags (default: 0xFFFFFFFF)\n"
            "  -v, --verbose         say which machine the program runs on\n"
            "  -h, --help            show this text\n",
            WINSIM_DEFAULT_PACKAGE, TARNO_VENDOR_ID_TEXT, TARNO_PRODUCT_ID_TEXT);
}

[[noreturn]] void Fail(const std::string& message)
{
    fprintf(stderr, "winsim-run: %s\n", message.c_str());
    exit(125);
}

std::filesystem::path TemporaryRoot()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/winsim-run-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr)
    {
        Fail("cannot create a folder for the machine");
    }
    return buffer.data();
}

} // namespace

int main(int argc, char** argv)
{
    winsim::machine::MachineDescription description;
    std::filesystem::path root;
    bool packageGiven = false;
    bool noPackage = false;
    bool readerGiven = false;
    bool noReader = false;
    bool verbose = false;
    int i = 1;
    for (; i < argc; ++i)
    {
        std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
            {
                Fail(option + " needs a value");
            }
            return argv[++i];
        };
        if (option == "--")
        {
            ++i;
            break;
        }
        if (option == "-h" || option == "--help")
        {
            Usage(stdout);
            return 0;
        }
        if (option == "--root")
        {
            root = value();
        }
        else if (option == "--package")
        {
            std::filesystem::path inf = value();
            if (!std::filesystem::exists(inf))
            {
                Fail("no driver package at " + inf.string());
            }
            description.packages.push_back(std::filesystem::absolute(inf));
            packageGiven = true;
        }
        else if (option == "--no-package")
        {
            noPackage = true;
        }
        else if (option == "--reader")
        {
            try
            {
                description.readers.push_back(winsim::machine::ParseReaderSpec(value()));
            }
            catch (const std::runtime_error& error)
            {
                Fail(std::string("--reader: ") + error.what());
            }
            readerGiven = true;
        }
        else if (option == "--no-reader")
        {
            noReader = true;
        }
        else if (option == "--clock")
        {
            std::string clock = value();
            if (clock != "real" && clock != "virtual")
            {
                Fail("--clock is real or virtual");
            }
            description.realTime = clock == "real";
        }
        else if (option == "--trace-session" || option == "--trace-level" || option == "--trace-flags")
        {
            std::string text = value();
            if (!description.traceSession)
            {
                description.traceSession.emplace();
                description.traceSession->provider = GUID{TARNO_TRACE_GUID_INITIALIZER};
            }
            char* end = nullptr;
            unsigned long number = strtoul(text.c_str(), &end, 0);
            if (option == "--trace-session")
            {
                description.traceSession->name = winsim::ToUtf16(text);
            }
            else if (text.empty() || *end != 0 || (option == "--trace-level" && number > 0xFF))
            {
                Fail(option + " needs a number");
            }
            else if (option == "--trace-level")
            {
                description.traceSession->level = static_cast<UCHAR>(number);
            }
            else
            {
                description.traceSession->flags = static_cast<ULONG>(number);
            }
        }
        else if (option == "-v" || option == "--verbose")
        {
            verbose = true;
        }
        else if (!option.empty() && option[0] == '-')
        {
            Usage(stderr);
            return 125;
        }
        else
        {
            break;
        }
    }
    if (i >= argc)
    {
        Usage(stderr);
        return 125;
    }
    if (!packageGiven && !noPackage)
    {
        description.packages.push_back(WINSIM_DEFAULT_PACKAGE);
    }
    if (!readerGiven && !noReader)
    {
        winsim::machine::ReaderSpec reader;
        reader.vendorId = TARNO_VENDOR_ID;
        reader.productId = static_cast<USHORT>(strtoul(TARNO_PRODUCT_ID_TEXT, nullptr, 16));
        description.readers.push_back(reader);
    }
    if (description.traceSession && description.traceSession->name.empty())
    {
        Fail("--trace-level and --trace-flags need --trace-session");
    }
    bool temporary = root.empty();
    if (temporary)
    {
        root = TemporaryRoot();
    }
    root = std::filesystem::absolute(root);
    try
    {
        description.Write(root);
    }
    catch (const std::exception& error)
    {
        Fail(error.what());
    }
    if (verbose)
    {
        fprintf(stderr, "winsim-run: machine at %s, %zu package(s), %zu reader(s), %s clock\n", root.c_str(),
                description.packages.size(), description.readers.size(),
                description.realTime ? "real" : "virtual");
    }

    pid_t child = fork();
    if (child < 0)
    {
        Fail("cannot start the program");
    }
    if (child == 0)
    {
        setenv("WINSIM_ROOT", root.c_str(), 1);
        execvp(argv[i], argv + i);
        fprintf(stderr, "winsim-run: cannot run %s: %s\n", argv[i], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
    if (temporary)
    {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    if (WIFSIGNALED(status))
    {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}
