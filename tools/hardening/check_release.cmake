# cmake -DPROGRAM=<exe> -DOBJDUMP=<cross objdump> -DWINDRES=<cross windres> -P check_release.cmake
# What an administrator may expect of the shipped program: it loads nothing but Windows' own
# DLLs, keeps address-space randomisation (high entropy too) and no-execute data, and carries
# its manifest (administrator rights), version information and message table.
foreach(var PROGRAM OBJDUMP WINDRES)
    if(NOT ${var})
        message(FATAL_ERROR "check_release.cmake needs -D${var}=...")
    endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${failed}")
endif()

# Imports: only DLLs that every supported Windows carries in its system folder. A MinGW runtime
# DLL (libstdc++, libgcc_s, libwinpthread) would stop the program on a server without it. Not
# user32, gdi32 or shell32 (which loads user32) either: Windows sends a console program that has
# them loaded no logoff or shutdown Ctrl event, and a logoff would end it without its quit lines.
set(system_dlls advapi32.dll bcrypt.dll kernel32.dll wevtapi.dll msvcrt.dll ntdll.dll)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
if(NOT imports)
    message(FATAL_ERROR "no import table found in ${PROGRAM}:\n${headers}")
endif()
set(wrong "")
foreach(entry ${imports})
    string(REGEX REPLACE "^DLL Name: *" "" dll "${entry}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" lower)
    list(FIND system_dlls "${lower}" at)
    if(at EQUAL -1 AND NOT lower MATCHES "^api-ms-win-")
        list(APPEND wrong "${dll}")
    endif()
endforeach()
if(wrong)
    message(FATAL_ERROR "${PROGRAM} imports DLLs that are not Windows' own: ${wrong}")
endif()
message(STATUS "imports: ${imports}")

# DllCharacteristics: 0x20 high-entropy VA, 0x40 dynamic base (ASLR), 0x100 NX compatible (DEP),
# 0x8000 terminal-server aware (else GetWindowsDirectoryW names a folder in the user's profile on
# a Remote Desktop server).
string(REGEX MATCH "DllCharacteristics[ \t]+([0-9a-fA-F]+)" found "${headers}")
if(NOT found)
    message(FATAL_ERROR "no DllCharacteristics in the headers of ${PROGRAM}")
endif()
math(EXPR characteristics "0x${CMAKE_MATCH_1}")
math(EXPR missing "(${characteristics} & 0x8160) ^ 0x8160" OUTPUT_FORMAT HEXADECIMAL)
if(NOT missing EQUAL 0)
    message(FATAL_ERROR "${PROGRAM}: DllCharacteristics 0x${CMAKE_MATCH_1} lacks ${missing} "
                        "(0x20 high-entropy VA, 0x40 ASLR, 0x100 DEP, 0x8000 terminal-server aware)")
endif()
# A relocation table is what makes dynamic base real: without it the loader cannot move the image.
string(REGEX MATCH "Entry 5 +[0-9a-fA-F]+ +([0-9a-fA-F]+) Base Relocation Directory" found "${headers}")
if(NOT found OR CMAKE_MATCH_1 MATCHES "^0+$")
    message(FATAL_ERROR "${PROGRAM} has no base relocations: '${found}'")
endif()

# Resources, as the resource compiler reads them back from the executable.
execute_process(COMMAND ${WINDRES} -J coff -i ${PROGRAM} -O rc OUTPUT_VARIABLE resources RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${WINDRES} could not read the resources of ${PROGRAM}: ${failed}")
endif()
set(expected
    "RT_MESSAGETABLE" "message table"
    "MessageId = 0x4000af01" "the RUNNING message"
    "MessageId = 0xc000af09" "the BLOCKED message"
    "VERSIONINFO" "version information"
    "RT_MANIFEST" "manifest"
    "requestedExecutionLevel level=\"\"requireAdministrator\"\"" "the request for administrator rights")
list(LENGTH expected n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET expected ${i} piece)
    list(GET expected ${j} what)
    string(FIND "${resources}" "${piece}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${PROGRAM} lacks ${what} (\"${piece}\" not in its resources)")
    endif()
endforeach()
# The version strings are UTF-16 in the file; the resource dump leaves them out.
file(READ "${PROGRAM}" content HEX)
foreach(text "FileDescription" "tosmire's Intrusion Prevention System" "OriginalFilename" "tosmire-ips.exe")
    string(HEX "${text}" hex)
    string(REGEX REPLACE "(..)" "\\100" utf16 "${hex}")
    string(FIND "${content}" "${utf16}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${PROGRAM}'s version information lacks \"${text}\"")
    endif()
endforeach()
