# Makes the import library of a __stdcall DLL. The DLL exports undecorated
# names, but callers compiled against the header refer to Name@N, so the
# import library must map each decorated name to the undecorated export.
# Run with -DNM=... -DDLLTOOL=... -DDEF=<tembrix.def> -DDLL=<tembrix.dll>
#          -DOUT_DEF=<decorated .def> -DIMPLIB=<libtembrix.dll.a>
execute_process(COMMAND ${NM} ${DLL} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
file(STRINGS ${DEF} def_lines)
set(text "LIBRARY tembrix.dll\nEXPORTS\n")
foreach(line IN LISTS def_lines)
  if(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)")
    set(name ${CMAKE_MATCH_1})
    set(ordinal ${CMAKE_MATCH_2})
    if(NOT symbols MATCHES " T _${name}@([0-9]+)\n")
      message(FATAL_ERROR "no __stdcall symbol for ${name} in ${DLL}")
    endif()
    string(APPEND text "    ${name}@${CMAKE_MATCH_1} @${ordinal}\n")
  endif()
endforeach()
file(WRITE ${OUT_DEF} "${text}")
execute_process(COMMAND ${DLLTOOL} --kill-at -d ${OUT_DEF} -D tembrix.dll -l ${IMPLIB}
                COMMAND_ERROR_IS_FATAL ANY)
