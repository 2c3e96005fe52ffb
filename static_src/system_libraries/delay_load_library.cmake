# Writes a delay-load import library for one system DLL from MinGW-w64's
# ordinary import library: every function that library names, so call sites
# need no change. Arguments: NM, DLLTOOL, IMPORT_LIBRARY, DLL, DEF, OUTPUT.
execute_process(COMMAND ${NM} ${IMPORT_LIBRARY} OUTPUT_VARIABLE symbols ERROR_QUIET
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL " T [A-Za-z_][A-Za-z0-9_@]*" thunks "${symbols}")
string(REGEX REPLACE " T " "" thunks "${thunks}")
string(REGEX MATCHALL " I __imp_[A-Za-z_][A-Za-z0-9_@]*" slots "${symbols}")
string(REGEX REPLACE " I __imp_" "" slots "${slots}")
# A function has both a code thunk and an import slot; data has only the
# slot and cannot be delay-loaded.
set(data ${slots})
list(REMOVE_ITEM data ${thunks})
set(functions ${slots})
if(data)
  list(REMOVE_ITEM functions ${data})
endif()
if(NOT functions)
  message(FATAL_ERROR "${IMPORT_LIBRARY} names no function")
endif()
list(JOIN functions "\n  " exports)
file(WRITE ${DEF} "LIBRARY ${DLL}\nEXPORTS\n  ${exports}\n")
execute_process(COMMAND ${DLLTOOL} --input-def ${DEF} --output-delaylib ${OUTPUT}
                COMMAND_ERROR_IS_FATAL ANY)
