#include "OutputFile.h"

#include <stdio.h>

#include <fstream>
#include <system_error>

namespace winsim::tools
{

bool WriteWholeFile(const std::filesystem::path& path, const std::string& content, const char* tool)
{
    std::error_code ec;
    if (path.has_parent_path())
    {
        std::filesystem::create_directories(path.parent_path(), ec);
    }
    const std::filesystem::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out)
        {
            fprintf(stderr, "%s: cannot write %s\n", tool, temporary.c_str());
            return false;
        }
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec)
    {
        fprintf(stderr, "%s: cannot write %s: %s\n", tool, path.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

} // namespace winsim::tools
