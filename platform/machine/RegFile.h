// Registry editor files (.reg) for the machine: seeding a registry from "Windows Registry Editor
// Version 5.00" or "REGEDIT4" files and saving a subtree the way the registry editor exports it.
// They work on the kernel's registry tree directly, as the machine's own setup does, not through
// the kernel's registry routines.
#pragma once

#include "kernel/Registry.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace winsim::machine
{

// Imports a file read as UTF-16 with a byte-order mark or as UTF-8 (with or without its mark).
// Throws std::runtime_error naming the file and the line of a bad entry.
void ImportRegFile(kernel::Registry& registry, const std::filesystem::path& file);
// Imports UTF-8 text. Throws std::runtime_error naming the line of a bad entry.
void ImportRegText(kernel::Registry& registry, std::string_view utf8Text);

// Writes the key (an NT path or a registry-editor path) and its subtree in the registry editor's
// export format: UTF-16LE with a byte-order mark and CR LF line ends. Throws std::runtime_error
// when the key does not exist or the file cannot be written.
void ExportRegFile(const kernel::Registry& registry, const std::filesystem::path& file,
                   std::u16string_view keyPath);
// The same export as UTF-8 text with LF line ends, for showing to a person.
std::string ExportRegText(const kernel::Registry& registry, std::u16string_view keyPath);

} // namespace winsim::machine
