# Checks that a PE image exports exactly the expected names, no more and no fewer.
#   cmake -DOBJDUMP=<objdump> -DIMAGE=<file> "-DEXPECTED=<name;...>" -P CheckPeExports.cmake
# The names are read from the export table's name pointer table as objdump -p prints it.

execute_process(COMMAND ${OBJDUMP} -p ${IMAGE}
    OUTPUT_VARIABLE dump ERROR_VARIABLE error RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${IMAGE} failed (${result}): ${error}")
endif()
if(NOT dump MATCHES "file format pei-x86-64")
    message(FATAL_ERROR "${IMAGE} is not a PE32+ image for x64")
endif()

# The name pointer table lists one "[ n] name" line per exported name, up to the next blank line.
set(exported "")
string(REPLACE "\n" ";" lines "${dump}")
set(in_names OFF)
foreach(line IN LISTS lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
        set(in_names ON)
    elseif(in_names AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
        list(APPEND exported "${CMAKE_MATCH_1}")
    elseif(in_names)
        set(in_names OFF)
    endif()
endforeach()

set(expected "${EXPECTED}")
list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
    set(extra ${exported})
    set(missing ${expected})
    if(expected)
        list(REMOVE_ITEM extra ${expected})
    endif()
    if(exported)
        list(REMOVE_ITEM missing ${exported})
    endif()
    list(LENGTH exported count)
    list(JOIN extra " " extra)
    list(JOIN missing " " missing)
    message(FATAL_ERROR "${IMAGE} exports ${count} names, not the expected ones.\n"
        "  not expected: ${extra}\n  missing: ${missing}")
endif()
list(LENGTH exported count)
message(STATUS "${IMAGE}: ${count} exports, as expected")
