# Fails unless the library exports exactly the names listed in EXPECTED.
#   LISTER    the command that prints the export table (list)
#   FORMAT    pe (objdump -p) or elf (nm -D --defined-only --format=posix)
#   LIBRARY   the built library
#   EXPECTED  the .def file: the names follow its EXPORTS line, one a line

file(STRINGS ${EXPECTED} def_lines)
set(expected "")
set(in_exports FALSE)
foreach(line IN LISTS def_lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "EXPORTS")
        set(in_exports TRUE)
    elseif(in_exports AND NOT line STREQUAL "")
        list(APPEND expected ${line})
    endif()
endforeach()

execute_process(COMMAND ${LISTER} ${LIBRARY}
    OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cannot list the exports of ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")

set(actual "")
if(FORMAT STREQUAL "pe")
    # objdump's name table rows: "[ordinal] name" after "[Ordinal/Name Pointer] Table".
    set(in_table FALSE)
    foreach(line IN LISTS lines)
        if(line MATCHES "Ordinal/Name Pointer\\] Table")
            set(in_table TRUE)
        elseif(in_table AND line MATCHES "^[ \t]*\\[[ 0-9]+\\][ \t]+([A-Za-z_][A-Za-z0-9_@]*)")
            list(APPEND actual ${CMAKE_MATCH_1})
        elseif(in_table)
            set(in_table FALSE)
        endif()
    endforeach()
else()
    # "name type value size": code and data symbols; the linker's own
    # absolute markers (_end, _edata, __bss_start) are type A.
    foreach(line IN LISTS lines)
        if(line MATCHES "^([^ ]+) ([A-Za-z]) ")
            if(NOT CMAKE_MATCH_2 STREQUAL "A")
                list(APPEND actual ${CMAKE_MATCH_1})
            endif()
        endif()
    endforeach()
endif()

list(SORT expected)
list(SORT actual)
if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${LIBRARY} exports\n  ${actual}\nexpected exactly\n  ${expected}")
endif()
list(LENGTH actual count)
message(STATUS "${LIBRARY}: exactly the ${count} expected exports")
