// Readers of compiled resources for the tools' tests: a dialog template (DLGTEMPLATE or
// DLGTEMPLATEEX) read back into its fields, and one string of a string table.
#pragma once

#include "base/resources.h"

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace toolstest
{

struct DialogTemplateView
{
    struct Item
    {
        uint32_t style = 0;
        uint32_t exStyle = 0;
        int x = 0, y = 0, cx = 0, cy = 0;
        uint32_t id = 0;        // a WORD in a DLGTEMPLATE, a DWORD in a DLGTEMPLATEEX
        uint16_t classAtom = 0; // 0 when the class is named
        std::u16string className;
        std::u16string text;
    };

    bool extended = false;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::u16string caption;
    uint16_t pointSize = 0;
    uint16_t weight = 0;
    uint8_t italic = 0;
    uint8_t charset = 0;
    std::u16string face;
    std::vector<Item> items;

    // Nullopt when the bytes end early or are left over.
    static std::optional<DialogTemplateView> Parse(const std::vector<uint8_t>& bytes)
    {
        Reader r{bytes};
        DialogTemplateView d;
        d.extended = bytes.size() >= 4 && r.PeekWord(0) == 1 && r.PeekWord(2) == 0xFFFF;
        size_t count = 0;
        if (d.extended)
        {
            r.at = 8; // version, signature, help id
            d.exStyle = r.Dword();
            d.style = r.Dword();
        }
        else
        {
            d.style = r.Dword();
            d.exStyle = r.Dword();
        }
        count = r.Word();
        d.x = static_cast<int16_t>(r.Word());
        d.y = static_cast<int16_t>(r.Word());
        d.cx = static_cast<int16_t>(r.Word());
        d.cy = static_cast<int16_t>(r.Word());
        uint16_t menuAtom = 0;
        uint16_t classAtom = 0;
        std::u16string menu = r.NameOrAtom(menuAtom);
        std::u16string windowClass = r.NameOrAtom(classAtom);
        if (!menu.empty() || !windowClass.empty() || menuAtom != 0 || classAtom != 0)
        {
            return std::nullopt; // no script here names a menu or a class
        }
        d.caption = r.Text();
        if ((d.style & 0x40) != 0) // DS_SETFONT
        {
            d.pointSize = r.Word();
            if (d.extended)
            {
                d.weight = r.Word();
                d.italic = r.Byte();
                d.charset = r.Byte();
            }
            d.face = r.Text();
        }
        for (size_t i = 0; i < count; ++i)
        {
            r.at = (r.at + 3) & ~size_t(3);
            Item item;
            if (d.extended)
            {
                r.Dword(); // help id
                item.exStyle = r.Dword();
                item.style = r.Dword();
            }
            else
            {
                item.style = r.Dword();
                item.exStyle = r.Dword();
            }
            item.x = static_cast<int16_t>(r.Word());
            item.y = static_cast<int16_t>(r.Word());
            item.cx = static_cast<int16_t>(r.Word());
            item.cy = static_cast<int16_t>(r.Word());
            item.id = d.extended ? r.Dword() : r.Word();
            item.className = r.NameOrAtom(item.classAtom);
            uint16_t textAtom = 0;
            item.text = r.NameOrAtom(textAtom);
            uint16_t extra = r.Word();
            r.at += extra;
            d.items.push_back(item);
        }
        if (r.failed || r.at != bytes.size())
        {
            return std::nullopt;
        }
        return d;
    }

  private:
    struct Reader
    {
        const std::vector<uint8_t>& bytes;
        size_t at = 0;
        bool failed = false;

        uint16_t PeekWord(size_t offset) const
        {
            return offset + 2 <= bytes.size()
                       ? static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8))
                       : 0;
        }
        uint8_t Byte()
        {
            if (at + 1 > bytes.size())
            {
                failed = true;
                return 0;
            }
            return bytes[at++];
        }
        uint16_t Word()
        {
            if (at + 2 > bytes.size())
            {
                failed = true;
                at = bytes.size();
                return 0;
            }
            uint16_t value = PeekWord(at);
            at += 2;
            return value;
        }
        uint32_t Dword()
        {
            uint32_t low = Word();
            return low | (static_cast<uint32_t>(Word()) << 16);
        }
        std::u16string Text()
        {
            std::u16string text;
            while (!failed)
            {
                uint16_t unit = Word();
                if (unit == 0)
                {
                    break;
                }
                text.push_back(static_cast<char16_t>(unit));
            }
            return text;
        }
        // A name, or 0xFFFF and an atom.
        std::u16string NameOrAtom(uint16_t& atom)
        {
            atom = 0;
            if (PeekWord(at) == 0xFFFF)
            {
                Word();
                atom = Word();
                return std::u16string();
            }
            return Text();
        }
    };
};

// One string of a compiled string table: nullopt when its block is missing or damaged.
inline std::optional<std::u16string> StringResource(const winsim::ResourceSet& set, uint16_t language,
                                                    uint32_t id)
{
    const winsim::Resource* block = set.FindExact(winsim::kResourceTypeString, id / 16 + 1, language);
    if (block == nullptr)
    {
        return std::nullopt;
    }
    const std::vector<uint8_t>& data = block->data;
    size_t at = 0;
    for (uint32_t index = 0; index < 16; ++index)
    {
        if (at + 2 > data.size())
        {
            return std::nullopt;
        }
        size_t length = data[at] | (data[at + 1] << 8);
        at += 2;
        if (at + 2 * length > data.size())
        {
            return std::nullopt;
        }
        if (index == id % 16)
        {
            std::u16string text;
            for (size_t i = 0; i < length; ++i)
            {
                text.push_back(static_cast<char16_t>(data[at + 2 * i] | (data[at + 2 * i + 1] << 8)));
            }
            return text;
        }
        at += 2 * length;
    }
    return std::nullopt;
}

} // namespace toolstest
