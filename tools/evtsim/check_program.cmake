# cmake -DPROGRAM=<exe> -DEXPECT=absent|present -P check_program.cmake
# Whether a program contains the simulations of the event log and of a service's identity,
# found by the names of their variables, which the simulations store as UTF-16 text.
file(READ "${PROGRAM}" content HEX)
set(markers
    "54004f0053004d004900520045005f00530049004d005f00440049005200"                   # TOSMIRE_SIM_DIR
    "54004f0053004d004900520045005f00530049004d005f004900440045004e005400490054005900") # TOSMIRE_SIM_IDENTITY
foreach(marker ${markers})
    string(FIND "${content}" "${marker}" at)
    if(EXPECT STREQUAL "absent" AND NOT at EQUAL -1)
        message(FATAL_ERROR "${PROGRAM} contains a simulation (marker ${marker})")
    elseif(EXPECT STREQUAL "present" AND at EQUAL -1)
        message(FATAL_ERROR "${PROGRAM} does not contain a simulation (marker ${marker})")
    endif()
endforeach()
