// Dialog templates in memory for the dialog tests, laid out as the resource compiler lays them out:
// DLGTEMPLATE or DLGTEMPLATEEX, then the items, each on a DWORD boundary, strings in UTF-16.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace dialogtest
{

struct Item
{
    DWORD style = WS_VISIBLE;
    DWORD exStyle = 0;
    short x = 0;
    short y = 0;
    short cx = 10;
    short cy = 10;
    DWORD id = 0;
    WORD classOrdinal = 0;    // 0x0080..0x0085, or 0 to use className
    std::u16string className; // a registered class's name
    std::u16string title;     // the initial text
    std::vector<BYTE> data;   // creation data
};

struct Dialog
{
    bool extended = true;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0;
    short y = 0;
    short cx = 100;
    short cy = 50;
    std::u16string className; // empty: the dialog class
    std::u16string title;
    WORD points = 0; // with DS_SETFONT
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charset = 0;
    std::u16string face;
    std::vector<Item> items;
};

class Writer
{
  public:
    template <typename T>
    void Put(T value)
    {
        size_t at = bytes.size();
        bytes.resize(at + sizeof(value));
        memcpy(bytes.data() + at, &value, sizeof(value));
    }
    void String(const std::u16string& text)
    {
        for (char16_t c : text)
        {
            Put<WORD>(static_cast<WORD>(c));
        }
        Put<WORD>(0);
    }
    void Align()
    {
        while (bytes.size() % 4 != 0)
        {
            bytes.push_back(0);
        }
    }
    std::vector<BYTE> bytes;
};

// The template's bytes, kept in DWORD-aligned storage.
inline std::vector<uint32_t> Build(const Dialog& d)
{
    Writer w;
    if (d.extended)
    {
        w.Put<WORD>(1);
        w.Put<WORD>(0xFFFF);
        w.Put<DWORD>(0); // helpID
        w.Put<DWORD>(d.exStyle);
        w.Put<DWORD>(d.style);
    }
    else
    {
        w.Put<DWORD>(d.style);
        w.Put<DWORD>(d.exStyle);
    }
    w.Put<WORD>(static_cast<WORD>(d.items.size()));
    w.Put<short>(d.x);
    w.Put<short>(d.y);
    w.Put<short>(d.cx);
    w.Put<short>(d.cy);
    w.Put<WORD>(0); // no menu
    w.String(d.className);
    w.String(d.title);
    if ((d.style & DS_SETFONT) != 0)
    {
        w.Put<WORD>(d.points);
        if (d.extended)
        {
            w.Put<WORD>(d.weight);
            w.Put<BYTE>(d.italic);
            w.Put<BYTE>(d.charset);
        }
        w.String(d.face);
    }
    for (const Item& item : d.items)
    {
        w.Align();
        if (d.extended)
        {
            w.Put<DWORD>(0); // helpID
            w.Put<DWORD>(item.exStyle);
            w.Put<DWORD>(item.style);
        }
        else
        {
            w.Put<DWORD>(item.style);
            w.Put<DWORD>(item.exStyle);
        }
        w.Put<short>(item.x);
        w.Put<short>(item.y);
        w.Put<short>(item.cx);
        w.Put<short>(item.cy);
        if (d.extended)
        {
            w.Put<DWORD>(item.id);
        }
        else
        {
            w.Put<WORD>(static_cast<WORD>(item.id));
        }
        if (item.classOrdinal != 0)
        {
            w.Put<WORD>(0xFFFF);
            w.Put<WORD>(item.classOrdinal);
        }
        else
        {
            w.String(item.className);
        }
        w.String(item.title);
        w.Put<WORD>(static_cast<WORD>(item.data.size()));
        w.bytes.insert(w.bytes.end(), item.data.begin(), item.data.end());
    }
    std::vector<uint32_t> aligned((w.bytes.size() + 3) / 4);
    memcpy(aligned.data(), w.bytes.data(), w.bytes.size());
    return aligned;
}

inline LPCDLGTEMPLATEA AsTemplate(const std::vector<uint32_t>& bytes)
{
    return reinterpret_cast<LPCDLGTEMPLATEA>(bytes.data());
}

} // namespace dialogtest
