// The resource script (.rc) compiler of the build: the part of the Windows resource-script language
// this project's scripts use, compiled into the resources the Windows resource compiler makes.
//
// What it reads:
//   - preprocessor lines: #include "file" (the file's #define lines are read, everything else in it
//     is ignored, as the resource compiler ignores C code in headers), #include <windows.h> (and the
//     other system headers: ignored, but windows.h, winres.h and winresrc.h make the built-in
//     constants known: LANG_*, SUBLANG_*, WS_*, WS_EX_*, DS_*, SS_*, CBS_*, ES_*, BS_*),
//     #define NAME value, #pragma code_page(65001) (the text is UTF-8; no other code page is
//     accepted, and text that is not ASCII needs it);
//   - LANGUAGE primary, sub: the language of the resources that follow (0x0409 before any);
//   - STRINGTABLE [LANGUAGE ...] BEGIN id [,] "text" ... END: escapes \r \n \t \a \\ \" and "" for
//     a quote, adjacent strings joined;
//   - id DIALOG|DIALOGEX x, y, cx, cy with STYLE, EXSTYLE, CAPTION, FONT size, "face" [, weight,
//     italic, charset], LANGUAGE, and the controls LTEXT, RTEXT, CTEXT, PUSHBUTTON, DEFPUSHBUTTON,
//     COMBOBOX, EDITTEXT and CONTROL;
//   - numbers (decimal, 0x hexadecimal, an L or U suffix), names #defined as numbers, expressions
//     with | & + - ~ ( ) and, in styles, NOT to clear bits; BEGIN/END or braces; // and /* */
//     comments; the memory flags (DISCARDABLE, MOVEABLE, PURE, ...), which mean nothing today.
//
// What it makes, byte for byte what the MinGW resource compiler (windres) makes: string tables in
// blocks of 16 (RT_STRING id = string id / 16 + 1, each string a WORD count of UTF-16 units and the
// units), dialogs as DLGTEMPLATE (DIALOG) or DLGTEMPLATEEX (DIALOGEX) with the styles each control
// keyword implies. Anything else in a script is an error at its file and line.
#pragma once

#include "base/resources.h"

#include <filesystem>
#include <string>
#include <vector>

namespace winsim::rc
{

struct CompileResult
{
    bool ok = false;
    std::vector<Resource> resources;           // in script order
    std::vector<std::filesystem::path> inputs; // the script and every header it read
    std::string error;                         // "file:line: error: text" when !ok
};

// Compiles a script. Quoted #include files are looked up beside the file that includes them, then
// in the include folders in order.
CompileResult CompileResourceScript(const std::filesystem::path& script,
                                    const std::vector<std::filesystem::path>& includeDirs);

} // namespace winsim::rc
