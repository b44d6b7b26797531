# Build rules for the Windows Driver Kit's build-time tools as this project stands them in:
# the message compiler (winsim-mc), the resource compiler (winsim-rc) and the WPP trace
# preprocessor (winsim-wpp), all built in platform/tools.

# The Windows build compiles resource scripts with the MinGW resource compiler.
if(WINSIM_WINDOWS)
    enable_language(RC)
endif()

# winsim_message_table(<target> <file.mc>)
# Compiles a message text file when the target is built (again whenever the .mc changes). The
# header with the message codes (<name>.h) goes to a folder added to the target's include path, a
# generated source that embeds the message tables into the module is added to the target, and the
# Windows resource inputs (<name>.rc and one .bin per language) are left in the same folder,
# ${CMAKE_CURRENT_BINARY_DIR}/<target>_mc, which the target property WINSIM_MESSAGE_TABLE_DIR names.
function(winsim_message_table target mc_file)
    get_filename_component(mc_abs ${mc_file} ABSOLUTE)
    get_filename_component(name ${mc_file} NAME_WE)
    set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_mc)
    set(header ${out_dir}/${name}.h)
    set(rc ${out_dir}/${name}.rc)
    set(source ${out_dir}/${name}_resources.cpp)
    add_custom_command(
        OUTPUT ${header} ${rc} ${source}
        COMMAND winsim-mc -h ${out_dir} -r ${out_dir} --cpp ${source} ${mc_abs}
        DEPENDS winsim-mc ${mc_abs}
        COMMENT "Compiling message file ${mc_file} for ${target}"
        VERBATIM)
    target_sources(${target} PRIVATE ${header} ${source})
    target_include_directories(${target} PRIVATE ${out_dir})
    set_property(TARGET ${target} PROPERTY WINSIM_MESSAGE_TABLE_DIR ${out_dir})
endfunction()

# winsim_resource_script(<target> <file.rc>)
# Compiles a resource script when the target is built (again whenever the script or a header it
# includes changes) into a generated source, added to the target, that embeds the resources into
# the module, beside any message table. Quoted #include files are found beside the script and in
# the target's own source folder. The Windows build compiles the same script with the MinGW
# resource compiler instead (a .rc source of the target).
function(winsim_resource_script target rc_file)
    get_filename_component(rc_abs ${rc_file} ABSOLUTE)
    get_filename_component(name ${rc_file} NAME_WE)
    if(WINSIM_WINDOWS)
        target_sources(${target} PRIVATE ${rc_abs})
        return()
    endif()
    set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_rc)
    set(source ${out_dir}/${name}_rc.cpp)
    add_custom_command(
        OUTPUT ${source}
        COMMAND winsim-rc -I ${CMAKE_CURRENT_SOURCE_DIR} --cpp ${source}
                --symbol winsim_rsrc_rc_${name} --depfile ${source}.d ${rc_abs}
        DEPENDS winsim-rc ${rc_abs}
        DEPFILE ${source}.d
        COMMENT "Compiling resource script ${rc_file} for ${target}"
        VERBATIM)
    target_sources(${target} PRIVATE ${source})
endfunction()

# winsim_wpp(<target> TMF <output .tmf> SOURCES <sources...>)
# Runs the trace preprocessor over the sources when the target is built (again whenever one of them
# changes): each source's <stem>.tmh goes to ${CMAKE_CURRENT_BINARY_DIR}/<target>_wpp, which is
# added to the target's include path, and the trace format file of all of them to the TMF path
# (relative paths are taken from the current binary folder).
function(winsim_wpp target)
    cmake_parse_arguments(ARG "" "TMF" "SOURCES" ${ARGN})
    if(NOT ARG_TMF OR NOT ARG_SOURCES)
        message(FATAL_ERROR "winsim_wpp(${target}) needs TMF and SOURCES")
    endif()
    get_filename_component(tmf ${ARG_TMF} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
    set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_wpp)
    set(sources "")
    set(headers "")
    foreach(source IN LISTS ARG_SOURCES)
        get_filename_component(source_abs ${source} ABSOLUTE)
        get_filename_component(stem ${source} NAME_WE)
        list(APPEND sources ${source_abs})
        list(APPEND headers ${out_dir}/${stem}.tmh)
    endforeach()
    # __LINE__ of a trace point written over several lines: GCC gives the line of the macro name,
    # Clang that of the closing parenthesis.
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        set(line_of paren)
    else()
        set(line_of macro)
    endif()
    # The .tmh files are only rewritten when they change, so they are byproducts: sources that
    # include them are not recompiled because another source changed.
    add_custom_command(
        OUTPUT ${tmf}
        BYPRODUCTS ${headers}
        COMMAND winsim-wpp -o ${out_dir} --tmf ${tmf} --line-of ${line_of} ${sources}
        DEPENDS winsim-wpp ${sources}
        COMMENT "Finding the trace points of ${target}"
        VERBATIM)
    target_sources(${target} PRIVATE ${headers} ${tmf})
    target_include_directories(${target} PRIVATE ${out_dir})
endfunction()
