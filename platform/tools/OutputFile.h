// Output of the build tools: files are written whole or not at all.
#pragma once

#include <filesystem>
#include <string>

namespace winsim::tools
{

// Writes `content` to a neighbour of `path` and renames it into place, creating the folder when
// missing, so that no reader sees half a file. Failures are reported on stderr under `tool`.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& content, const char* tool);

} // namespace winsim::tools
