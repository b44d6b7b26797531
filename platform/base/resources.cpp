#include "resources.h"

#include "unicode.h"

#include <elf.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>

namespace winsim
{
namespace
{

constexpr char kMagic[8] = {'W', 'S', 'I', 'M', 'R', 'S', 'R', 'C'};
constexpr size_t kHeaderSize = 24;
constexpr size_t kDirectoryEntrySize = 20;
constexpr size_t kContainerAlignment = 16;
constexpr size_t kDataAlignment = 8;

size_t AlignUp(size_t value, size_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

void PutU16(std::vector<uint8_t>& out, size_t at, uint16_t value)
{
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
    {
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint16_t GetU16(std::span<const uint8_t> in, size_t at)
{
    return static_cast<uint16_t>(in[at] | (in[at + 1] << 8));
}

uint32_t GetU32(std::span<const uint8_t> in, size_t at)
{
    return static_cast<uint32_t>(in[at]) | (static_cast<uint32_t>(in[at + 1]) << 8) |
           (static_cast<uint32_t>(in[at + 2]) << 16) | (static_cast<uint32_t>(in[at + 3]) << 24);
}

void SetError(std::string* error, std::string text)
{
    if (error != nullptr)
    {
        *error = std::move(text);
    }
}

// Parses the container at the start of `bytes`; returns its size.
std::optional<size_t> ParseContainer(std::span<const uint8_t> bytes, std::vector<Resource>& out,
                                     std::string* error)
{
    if (bytes.size() < kHeaderSize)
    {
        SetError(error, "resource container header is truncated");
        return std::nullopt;
    }
    const uint32_t version = GetU32(bytes, 8);
    const uint32_t count = GetU32(bytes, 12);
    const uint32_t size = GetU32(bytes, 16);
    if (version != kResourceContainerVersion)
    {
        SetError(error, "resource container has unknown version " + std::to_string(version));
        return std::nullopt;
    }
    if (size < kHeaderSize || size > bytes.size() || size % kContainerAlignment != 0)
    {
        SetError(error, "resource container size " + std::to_string(size) + " is invalid");
        return std::nullopt;
    }
    const std::span<const uint8_t> container = bytes.first(size);
    if (count > (size - kHeaderSize) / kDirectoryEntrySize)
    {
        SetError(error, "resource container directory does not fit");
        return std::nullopt;
    }
    for (uint32_t i = 0; i < count; ++i)
    {
        const size_t at = kHeaderSize + i * kDirectoryEntrySize;
        Resource resource;
        resource.type = GetU32(container, at);
        resource.id = GetU32(container, at + 4);
        const uint32_t language = GetU32(container, at + 8);
        const uint32_t offset = GetU32(container, at + 12);
        const uint32_t length = GetU32(container, at + 16);
        if (language > 0xFFFF || offset > size || length > size - offset)
        {
            SetError(error, "resource container entry " + std::to_string(i) + " is invalid");
            return std::nullopt;
        }
        resource.language = static_cast<uint16_t>(language);
        resource.data.assign(container.begin() + offset, container.begin() + offset + length);
        out.push_back(std::move(resource));
    }
    return size;
}

} // namespace

std::vector<uint8_t> BuildResourceContainer(std::span<const Resource> resources)
{
    size_t size = kHeaderSize + resources.size() * kDirectoryEntrySize;
    std::vector<size_t> offsets;
    for (const Resource& resource : resources)
    {
        size = AlignUp(size, kDataAlignment);
        offsets.push_back(size);
        size += resource.data.size();
    }
    size = AlignUp(size, kContainerAlignment);

    std::vector<uint8_t> out(size, 0);
    std::copy(std::begin(kMagic), std::end(kMagic), out.begin());
    PutU32(out, 8, kResourceContainerVersion);
    PutU32(out, 12, static_cast<uint32_t>(resources.size()));
    PutU32(out, 16, static_cast<uint32_t>(size));
    for (size_t i = 0; i < resources.size(); ++i)
    {
        const size_t at = kHeaderSize + i * kDirectoryEntrySize;
        PutU32(out, at, resources[i].type);
        PutU32(out, at + 4, resources[i].id);
        PutU32(out, at + 8, resources[i].language);
        PutU32(out, at + 12, static_cast<uint32_t>(offsets[i]));
        PutU32(out, at + 16, static_cast<uint32_t>(resources[i].data.size()));
        std::copy(resources[i].data.begin(), resources[i].data.end(), out.begin() + offsets[i]);
    }
    return out;
}

std::string ResourceContainerSource(std::span<const uint8_t> container, std::string_view symbol,
                                    std::string_view origin)
{
    std::string out;
    out += "// Resources made from ";
    out += origin;
    out += ", placed in the module's resource section.\n";
    out += "// Generated file: do not edit.\n\n";
    out += "extern \"C\" __attribute__((section(\"";
    out += kResourceSection;
    out += "\"), used, aligned(16), visibility(\"hidden\")))\nconst unsigned char ";
    out += symbol;
    out += "[" + std::to_string(container.size()) + "] = {";
    char hex[8];
    for (size_t i = 0; i < container.size(); ++i)
    {
        out += (i % 16 == 0) ? "\n    " : " ";
        snprintf(hex, sizeof(hex), "0x%02x,", container[i]);
        out += hex;
    }
    out += "\n};\n";
    return out;
}

std::optional<ResourceSet> ResourceSet::FromSection(std::span<const uint8_t> section, std::string* error)
{
    ResourceSet set;
    size_t at = 0;
    while (at + sizeof(kMagic) <= section.size())
    {
        if (!std::equal(std::begin(kMagic), std::end(kMagic), section.begin() + at))
        {
            // Padding between the arrays of two sources.
            at += kContainerAlignment;
            continue;
        }
        std::optional<size_t> size = ParseContainer(section.subspan(at), set.m_resources, error);
        if (!size)
        {
            return std::nullopt;
        }
        at += *size;
    }
    return set;
}

std::optional<ResourceSet> ResourceSet::FromElfFile(const std::string& path, std::string* error)
{
    std::optional<std::vector<uint8_t>> section = ReadElfSection(path, kResourceSection, error);
    if (!section)
    {
        return std::nullopt;
    }
    std::optional<ResourceSet> set = FromSection(*section, error);
    if (!set && error != nullptr)
    {
        *error = path + ": " + *error;
    }
    return set;
}

const Resource* ResourceSet::FindExact(uint32_t type, uint32_t id, uint16_t language) const
{
    for (const Resource& resource : m_resources)
    {
        if (resource.type == type && resource.id == id && resource.language == language)
        {
            return &resource;
        }
    }
    return nullptr;
}

const Resource* ResourceSet::Find(uint32_t type, uint32_t id, uint16_t language) const
{
    constexpr uint16_t kSubLanguageNeutral = 0;
    const uint16_t order[] = {
        language,
        static_cast<uint16_t>(PrimaryLanguage(language) | (kSubLanguageNeutral << 10)),
        kLanguageNeutral,
        kLanguageEnglishUs,
        PrimaryLanguage(kLanguageEnglishUs),
    };
    for (uint16_t candidate : order)
    {
        if (const Resource* resource = FindExact(type, id, candidate))
        {
            return resource;
        }
    }
    return nullptr;
}

std::optional<std::vector<uint8_t>> ReadElfSection(const std::string& path, std::string_view section,
                                                   std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        SetError(error, path + ": cannot open the file");
        return std::nullopt;
    }
    file.seekg(0, std::ios::end);
    const uint64_t fileSize = static_cast<uint64_t>(file.tellg());

    auto readAt = [&](uint64_t offset, void* buffer, uint64_t length) -> bool {
        if (offset > fileSize || length > fileSize - offset)
        {
            return false;
        }
        file.seekg(static_cast<std::streamoff>(offset));
        file.read(static_cast<char*>(buffer), static_cast<std::streamsize>(length));
        return static_cast<bool>(file);
    };
    auto fail = [&](const char* what) -> std::optional<std::vector<uint8_t>> {
        SetError(error, path + ": " + what);
        return std::nullopt;
    };

    Elf64_Ehdr header;
    if (!readAt(0, &header, sizeof(header)) || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    {
        return fail("not an ELF file");
    }
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB)
    {
        return fail("not a 64-bit little-endian ELF file");
    }
    if (header.e_shoff == 0)
    {
        return std::vector<uint8_t>{}; // no section headers, so no resource section
    }
    if (header.e_shentsize != sizeof(Elf64_Shdr))
    {
        return fail("unexpected ELF section header size");
    }

    auto readSection = [&](uint64_t index, Elf64_Shdr& out) {
        return readAt(header.e_shoff + index * sizeof(Elf64_Shdr), &out, sizeof(out));
    };

    // Large section counts and string table indices live in section 0.
    uint64_t count = header.e_shnum;
    uint64_t namesIndex = header.e_shstrndx;
    if (count == 0 || namesIndex == SHN_XINDEX)
    {
        Elf64_Shdr first;
        if (!readSection(0, first))
        {
            return fail("ELF section header table is truncated");
        }
        if (count == 0)
        {
            count = first.sh_size;
        }
        if (namesIndex == SHN_XINDEX)
        {
            namesIndex = first.sh_link;
        }
    }
    if (count > fileSize / sizeof(Elf64_Shdr) || namesIndex >= count)
    {
        return fail("ELF section header table is damaged");
    }

    Elf64_Shdr names;
    if (!readSection(namesIndex, names) || names.sh_type == SHT_NOBITS)
    {
        return fail("ELF section name table is damaged");
    }
    std::vector<char> nameTable(names.sh_size);
    if (!readAt(names.sh_offset, nameTable.data(), names.sh_size))
    {
        return fail("ELF section name table is truncated");
    }

    for (uint64_t i = 1; i < count; ++i)
    {
        Elf64_Shdr candidate;
        if (!readSection(i, candidate))
        {
            return fail("ELF section header table is truncated");
        }
        if (candidate.sh_name >= nameTable.size())
        {
            continue;
        }
        const char* name = nameTable.data() + candidate.sh_name;
        const size_t room = nameTable.size() - candidate.sh_name;
        if (strnlen(name, room) == room || section != name)
        {
            continue;
        }
        if (candidate.sh_type == SHT_NOBITS)
        {
            return fail("resource section has no contents in the file");
        }
        std::vector<uint8_t> bytes(candidate.sh_size);
        if (!readAt(candidate.sh_offset, bytes.data(), candidate.sh_size))
        {
            return fail("resource section is truncated");
        }
        return bytes;
    }
    return std::vector<uint8_t>{};
}

std::vector<uint8_t> BuildMessageTable(std::vector<MessageTableEntry> entries)
{
    std::sort(entries.begin(), entries.end(),
              [](const MessageTableEntry& a, const MessageTableEntry& b) { return a.id < b.id; });

    // Runs of consecutive identifiers.
    struct Block
    {
        size_t first;
        size_t last;
    };
    std::vector<Block> blocks;
    for (size_t i = 0; i < entries.size(); ++i)
    {
        if (!blocks.empty() && entries[i].id == entries[blocks.back().last].id + 1)
        {
            blocks.back().last = i;
        }
        else
        {
            blocks.push_back({i, i});
        }
    }

    std::vector<uint8_t> out(4 + blocks.size() * 12, 0);
    PutU32(out, 0, static_cast<uint32_t>(blocks.size()));
    for (size_t b = 0; b < blocks.size(); ++b)
    {
        const size_t at = 4 + b * 12;
        PutU32(out, at, entries[blocks[b].first].id);
        PutU32(out, at + 4, entries[blocks[b].last].id);
        PutU32(out, at + 8, static_cast<uint32_t>(out.size()));
        for (size_t i = blocks[b].first; i <= blocks[b].last; ++i)
        {
            const std::u16string& text = entries[i].text;
            const size_t length = AlignUp(4 + (text.size() + 1) * 2, 4);
            const size_t entry = out.size();
            out.resize(entry + length, 0);
            PutU16(out, entry, static_cast<uint16_t>(length));
            PutU16(out, entry + 2, kMessageEntryUnicode);
            for (size_t c = 0; c < text.size(); ++c)
            {
                PutU16(out, entry + 4 + 2 * c, static_cast<uint16_t>(text[c]));
            }
        }
    }
    return out;
}

std::optional<std::u16string> FindMessage(std::span<const uint8_t> table, uint32_t messageId)
{
    if (table.size() < 4)
    {
        return std::nullopt;
    }
    const uint32_t blockCount = GetU32(table, 0);
    if (blockCount > (table.size() - 4) / 12)
    {
        return std::nullopt;
    }
    for (uint32_t b = 0; b < blockCount; ++b)
    {
        const size_t at = 4 + static_cast<size_t>(b) * 12;
        const uint32_t low = GetU32(table, at);
        const uint32_t high = GetU32(table, at + 4);
        if (messageId < low || messageId > high)
        {
            continue;
        }
        size_t entry = GetU32(table, at + 8);
        for (uint32_t id = low;; ++id)
        {
            if (entry > table.size() || table.size() - entry < 4)
            {
                return std::nullopt;
            }
            const uint16_t length = GetU16(table, entry);
            if (length < 4 || length > table.size() - entry)
            {
                return std::nullopt;
            }
            if (id == messageId)
            {
                const uint16_t flags = GetU16(table, entry + 2);
                const std::span<const uint8_t> text = table.subspan(entry + 4, length - 4);
                if (flags == kMessageEntryUnicode)
                {
                    std::u16string out;
                    for (size_t i = 0; i + 1 < text.size(); i += 2)
                    {
                        const char16_t unit = static_cast<char16_t>(GetU16(text, i));
                        if (unit == 0)
                        {
                            break;
                        }
                        out.push_back(unit);
                    }
                    return out;
                }
                if (flags == kMessageEntryAnsi || flags == kMessageEntryUtf8)
                {
                    const char* chars = reinterpret_cast<const char*>(text.data());
                    return ToUtf16(std::string_view(chars, strnlen(chars, text.size())));
                }
                return std::nullopt;
            }
            entry += length;
        }
    }
    return std::nullopt;
}

} // namespace winsim
