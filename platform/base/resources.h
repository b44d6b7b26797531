// Resources of a simulated module: the container that winsim-mc (and any other resource generator)
// embeds into an ELF module, the reader that finds those resources in a module file on disk, lookup
// with the Windows language fallback, and the message-table (MESSAGE_RESOURCE_DATA) layout.
//
// Container layout. A generated C++ source defines one constant byte array in the ELF section
// named "winsim_rsrc" (kResourceSection), 16-byte aligned, under a hidden extern "C" symbol of its
// own. The linker concatenates the arrays of all sources of a module into that one section, so the
// section holds one or more containers, each at a 16-byte aligned offset, possibly separated by zero
// padding. Every integer is little-endian.
//
//   offset  size  field
//        0     8  magic "WSIMRSRC"
//        8     4  version (1)
//       12     4  number of resources (n)
//       16     4  size of the whole container in bytes, a multiple of 16
//       20     4  reserved, 0
//       24  20*n  directory, one entry per resource:
//                   type (RT_* number), id, language (LANGID), offset of the data from the start
//                   of the container, size of the data in bytes
//        .     .  the data of each resource, each starting at a multiple of 8, zero padded
//
// Types and identifiers are numbers (named resources are not supported).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace winsim
{

inline constexpr const char kResourceSection[] = "winsim_rsrc";
inline constexpr uint32_t kResourceContainerVersion = 1;

// Resource types as Windows numbers them (RT_*).
inline constexpr uint32_t kResourceTypeDialog = 5;
inline constexpr uint32_t kResourceTypeString = 6;
inline constexpr uint32_t kResourceTypeMessageTable = 11;

// Language identifiers used by the fallback.
inline constexpr uint16_t kLanguageNeutral = 0x0000;
inline constexpr uint16_t kLanguageEnglishUs = 0x0409;

inline constexpr uint16_t PrimaryLanguage(uint16_t language)
{
    return language & 0x3FF;
}
inline constexpr uint16_t SubLanguage(uint16_t language)
{
    return language >> 10;
}

struct Resource
{
    uint32_t type = 0;
    uint32_t id = 0;
    uint16_t language = 0;
    std::vector<uint8_t> data;
};

// Lays out resources as one container (see above).
std::vector<uint8_t> BuildResourceContainer(std::span<const Resource> resources);

// A C++ source that places a container in the resource section of the module it is compiled into,
// under the extern "C" symbol `symbol` (hidden, so each module sees its own). `origin` names what
// the resources were made from, for the comment at the top.
std::string ResourceContainerSource(std::span<const uint8_t> container, std::string_view symbol,
                                    std::string_view origin);

// The resources of one module.
class ResourceSet
{
  public:
    // Parses the bytes of a resource section: every container in it. Fails on a damaged container.
    static std::optional<ResourceSet> FromSection(std::span<const uint8_t> section,
                                                  std::string* error = nullptr);

    // Reads the resource section of an ELF64 module file without loading the module. A module
    // without a resource section has no resources (that is not an error); a file that is missing or
    // not an ELF64 little-endian file is.
    static std::optional<ResourceSet> FromElfFile(const std::string& path, std::string* error = nullptr);

    // Looks a resource up the way FindResourceEx falls back on languages: the language asked for,
    // then its primary language with SUBLANG_NEUTRAL, then LANG_NEUTRAL, then English (United
    // States), then English with SUBLANG_NEUTRAL. Returns nullptr when none of these exists.
    const Resource* Find(uint32_t type, uint32_t id, uint16_t language) const;

    // Only the exact (type, id, language).
    const Resource* FindExact(uint32_t type, uint32_t id, uint16_t language) const;

    const std::vector<Resource>& All() const { return m_resources; }

  private:
    std::vector<Resource> m_resources;
};

// Reads the section header table of an ELF64 file and returns the bytes of the named section:
// nullopt with *error set when the file cannot be read or is not ELF64, an empty vector when the
// section does not exist.
std::optional<std::vector<uint8_t>> ReadElfSection(const std::string& path, std::string_view section,
                                                   std::string* error = nullptr);

// The linker's bounds of the resource section of the module that this code is compiled into (both
// null when the module has none). Hidden weak references, so that each module sees its own section.
extern "C"
{
    extern const unsigned char __start_winsim_rsrc[] __attribute__((weak, visibility("hidden")));
    extern const unsigned char __stop_winsim_rsrc[] __attribute__((weak, visibility("hidden")));
}

// The resource section of the calling module, as loaded in memory. Static so that every module
// that calls it gets its own copy bound to its own section.
static inline std::span<const uint8_t> ThisModuleResourceSection()
{
    if (__start_winsim_rsrc == nullptr || __stop_winsim_rsrc == nullptr)
    {
        return {};
    }
    return {reinterpret_cast<const uint8_t*>(__start_winsim_rsrc),
            static_cast<size_t>(__stop_winsim_rsrc - __start_winsim_rsrc)};
}

// Message tables (RT_MESSAGETABLE), laid out as MESSAGE_RESOURCE_DATA: a DWORD number of blocks,
// then per block {LowId, HighId, OffsetToEntries} for a run of consecutive identifiers, then the
// entries of each block in identifier order, each a MESSAGE_RESOURCE_ENTRY {WORD Length, WORD
// Flags, text}, Length counting the whole entry.
inline constexpr uint16_t kMessageEntryAnsi = 0x0000;
inline constexpr uint16_t kMessageEntryUnicode = 0x0001;
inline constexpr uint16_t kMessageEntryUtf8 = 0x0002;

struct MessageTableEntry
{
    uint32_t id = 0;
    std::u16string text;
};

// Builds a table of Unicode entries: sorted by identifier, one block per run of consecutive
// identifiers, each text followed by a NUL character and zero padding to a multiple of 4 bytes.
// Identifiers must be distinct.
std::vector<uint8_t> BuildMessageTable(std::vector<MessageTableEntry> entries);

// The text of one identifier in a table, up to its first NUL character. ANSI and UTF-8 entries are
// converted (the simulated machine's ANSI code page is UTF-8). nullopt when the identifier is not in
// the table or the table is damaged.
std::optional<std::u16string> FindMessage(std::span<const uint8_t> table, uint32_t messageId);

} // namespace winsim
