# Build rules shared by every folder: the two worlds (simulated machine on Linux, real Windows with
# MinGW-w64), warnings, sanitizers, and how a deliverable becomes a DLL, an EXE or a driver.

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set(WINSIM_WINDOWS ON)
else()
    set(WINSIM_WINDOWS OFF)
endif()

set(WINSIM_SANITIZE "none" CACHE STRING "Sanitizer of the Linux build: none, address (with undefined) or thread")
set_property(CACHE WINSIM_SANITIZE PROPERTY STRINGS none address thread)

# Warnings are errors everywhere.
add_compile_options(-Wall -Wextra -Werror -Wno-missing-field-initializers -Wno-multichar)
# GCC 12's -Wrestrict reports impossible overlaps inside libstdc++'s string concatenation at -O2
# and above (GCC bug 105329); the warning says nothing about this project's code there.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    add_compile_options(-Wno-restrict)
endif()

if(WINSIM_WINDOWS)
    # Real Windows binaries: static runtime, no dependency on MinGW's DLLs.
    add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 WINVER=0x0601)
    add_link_options(-static -static-libgcc -static-libstdc++)
else()
    # On the simulated machine WCHAR is wchar_t, which must be 16 bits as on Windows.
    add_compile_options(-fshort-wchar -fno-omit-frame-pointer)
    if(WINSIM_SANITIZE STREQUAL "address")
        add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
        add_link_options(-fsanitize=address,undefined)
    elseif(WINSIM_SANITIZE STREQUAL "thread")
        add_compile_options(-fsanitize=thread)
        add_link_options(-fsanitize=thread)
    endif()
    # Every module refuses undefined symbols, as a PE image would.
    add_link_options(LINKER:--no-undefined)
endif()

set(WINSIM_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(WINSIM_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# The names a module-definition (.def) file exports, in the file's order.
function(winsim_def_exports def_file out_var)
    file(STRINGS ${def_file} lines)
    set(in_exports OFF)
    set(names "")
    foreach(line IN LISTS lines)
        string(STRIP "${line}" line)
        if(line STREQUAL "" OR line MATCHES "^;")
            continue()
        endif()
        if(line MATCHES "^EXPORTS")
            set(in_exports ON)
            continue()
        endif()
        if(line MATCHES "^(LIBRARY|NAME|DESCRIPTION|HEAPSIZE|STACKSIZE|SECTIONS|VERSION)")
            set(in_exports OFF)
            continue()
        endif()
        if(in_exports)
            string(REGEX MATCH "^[A-Za-z_][A-Za-z0-9_]*" name "${line}")
            if(name)
                list(APPEND names "${name}")
            endif()
        endif()
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
    set(${out_var} "${names}" PARENT_SCOPE)
endfunction()

# Turns a module-definition (.def) file into a GNU linker version script that exports the same
# names, so a simulated DLL exports exactly what the real one does.
function(winsim_version_script_from_def def_file out_file)
    winsim_def_exports(${def_file} names)
    list(JOIN names ";\n        " body)
    if(names)
        file(CONFIGURE OUTPUT ${out_file} CONTENT "{\n    global:\n        ${body};\n    local:\n        *;\n};\n")
    else()
        # A module that exports nothing (yet): an empty global list is not valid in a version script.
        file(CONFIGURE OUTPUT ${out_file} CONTENT "{\n    local:\n        *;\n};\n")
    endif()
endfunction()

# winsim_check_exports(<target> [EXPORTS <name>...])
# A test of the Windows build: the PE image's export table names exactly the given names (none for
# a program). The export table is read from the built file with the toolchain's objdump.
function(winsim_check_exports target)
    cmake_parse_arguments(ARG "" "" "EXPORTS" ${ARGN})
    add_test(NAME exports.${target}
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DIMAGE=$<TARGET_FILE:${target}>
            "-DEXPECTED=${ARG_EXPORTS}" -P ${WINSIM_CMAKE_DIR}/CheckPeExports.cmake)
endfunction()

# winsim_dll(<target> NAME <file name> DEF <.def file> SOURCES ...)
# A user-mode DLL deliverable. On Linux it is an ELF shared object under the Windows file name,
# linked against the simulated Win32 and started through DllMain like a real DLL.
function(winsim_dll target)
    cmake_parse_arguments(ARG "" "NAME;DEF" "SOURCES" ${ARGN})
    get_filename_component(def_abs ${ARG_DEF} ABSOLUTE)
    add_library(${target} SHARED ${ARG_SOURCES})
    string(REGEX REPLACE "\\.[^.]*$" "" base_name "${ARG_NAME}")
    string(REGEX MATCH "\\.[^.]*$" suffix "${ARG_NAME}")
    # No hidden-visibility preset: as with a .def file on Windows, the export list alone decides what
    # the module exports, whatever the declarations say.
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME "${base_name}" SUFFIX "${suffix}")
    if(WINSIM_WINDOWS)
        # The .def alone decides: without --exclude-all-symbols, GNU ld exports every global symbol
        # of the image (the static C++ runtime's included) when the .def's EXPORTS list is empty.
        target_sources(${target} PRIVATE ${def_abs})
        target_link_options(${target} PRIVATE LINKER:--exclude-all-symbols)
        winsim_def_exports(${def_abs} exports)
        winsim_check_exports(${target} EXPORTS ${exports})
    else()
        set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports)
        winsim_version_script_from_def(${def_abs} ${script})
        target_link_options(${target} PRIVATE LINKER:--version-script=${script})
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
        target_link_libraries(${target} PRIVATE winsim_user winsim_dllstart)
    endif()
endfunction()

# winsim_program(<target>): makes an executable a program of the simulated machine: its Win32 user
# mode, and the machine it boots in its own process when it runs on none. The machine is linked
# rather than loaded on demand, so that its threads' thread-local storage is the static kind that
# LeakSanitizer can walk.
function(winsim_program target)
    if(NOT WINSIM_WINDOWS)
        target_link_options(${target} PRIVATE LINKER:--no-as-needed)
        target_link_libraries(${target} PRIVATE winsim_user winsim_machine)
    endif()
endfunction()

# winsim_exe(<target> NAME <file name> SOURCES ...)
# A console program deliverable, an ELF executable under its Windows name on Linux.
function(winsim_exe target)
    cmake_parse_arguments(ARG "" "NAME" "SOURCES" ${ARGN})
    add_executable(${target} ${ARG_SOURCES})
    string(REGEX REPLACE "\\.[^.]*$" "" base_name "${ARG_NAME}")
    string(REGEX MATCH "\\.[^.]*$" suffix "${ARG_NAME}")
    set_target_properties(${target} PROPERTIES OUTPUT_NAME "${base_name}" SUFFIX "${suffix}")
    if(WINSIM_WINDOWS)
        # A program exports nothing.
        winsim_check_exports(${target})
    endif()
    winsim_program(${target})
endfunction()

include(WinsimTools) # winsim_message_table() and winsim_wpp(): the message compiler and trace preprocessor
