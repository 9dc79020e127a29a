# cmake -DPROGRAM=<exe> -DEXPECT=absent|present -P check_program.cmake
# Whether a program contains the simulated event log, found by the name of its folder
# variable, which the simulation stores as UTF-16 text.
file(READ "${PROGRAM}" content HEX)
set(marker "54004f0053004d004900520045005f00530049004d005f00440049005200")   # TOSMIRE_SIM_DIR
string(FIND "${content}" "${marker}" at)
if(EXPECT STREQUAL "absent" AND NOT at EQUAL -1)
    message(FATAL_ERROR "${PROGRAM} contains the simulated event log")
elseif(EXPECT STREQUAL "present" AND at EQUAL -1)
    message(FATAL_ERROR "${PROGRAM} does not contain the simulated event log")
endif()
