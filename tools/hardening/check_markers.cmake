# cmake -DPROGRAM=<exe> -DEXPECT=absent|present -DMARKERS=<name=text|...> -P check_markers.cmake
# Whether a program contains our simulated modules, each found by a text of its own that it
# stores as UTF-16 (an environment variable, a mutex or file name that only it uses).
file(READ "${PROGRAM}" content HEX)
string(REPLACE "|" ";" markers "${MARKERS}")
foreach(pair ${markers})
    string(REGEX REPLACE "=.*" "" module "${pair}")
    string(REGEX REPLACE "^[^=]*=" "" text "${pair}")
    string(HEX "${text}" hex)
    string(REGEX REPLACE "(..)" "\\100" utf16 "${hex}")
    string(FIND "${content}" "${utf16}" wide)
    string(FIND "${content}" "${hex}" narrow)
    if(EXPECT STREQUAL "absent" AND (NOT wide EQUAL -1 OR NOT narrow EQUAL -1))
        message(FATAL_ERROR "${PROGRAM} contains the simulated ${module} (\"${text}\")")
    elseif(EXPECT STREQUAL "present" AND wide EQUAL -1)
        message(FATAL_ERROR "${PROGRAM} does not contain the simulated ${module} (\"${text}\")")
    endif()
endforeach()
