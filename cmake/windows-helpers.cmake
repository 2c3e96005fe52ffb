# Helpers for the Windows build: Windows forms of build paths, and packing
# application folders into one-file executables with onefile-pack.

# The path as a Windows program sees it: under Wine the Unix root is Z:.
function(onefile_windows_path out path)
  if(CMAKE_HOST_WIN32)
    file(TO_NATIVE_PATH "${path}" native)
  else()
    string(REPLACE "/" "\\" native "Z:${path}")
  endif()
  set(${out} "${native}" PARENT_SCOPE)
endfunction()

# onefile_app_folder(<target> FOLDER <dir> MAIN <dll target>
#                    [FILES <src>=<relative dest> ...] [TARGETS <target>=<relative dest> ...])
# Copies the main library and the listed files into FOLDER.
function(onefile_app_folder name)
  cmake_parse_arguments(ARG "" "FOLDER;MAIN" "FILES;TARGETS" ${ARGN})
  set(commands COMMAND ${CMAKE_COMMAND} -E rm -rf ${ARG_FOLDER}
               COMMAND ${CMAKE_COMMAND} -E make_directory ${ARG_FOLDER}
               COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${ARG_MAIN}> ${ARG_FOLDER}/)
  set(depends ${ARG_MAIN})
  foreach(pair ${ARG_FILES})
    string(REPLACE "=" ";" parts "${pair}")
    list(GET parts 0 source)
    list(GET parts 1 destination)
    get_filename_component(destination_dir "${ARG_FOLDER}/${destination}" DIRECTORY)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E make_directory ${destination_dir}
                         COMMAND ${CMAKE_COMMAND} -E copy ${source} ${ARG_FOLDER}/${destination})
    list(APPEND depends ${source})
  endforeach()
  foreach(pair ${ARG_TARGETS})
    string(REPLACE "=" ";" parts "${pair}")
    list(GET parts 0 target)
    list(GET parts 1 destination)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${ARG_FOLDER}/${destination})
    list(APPEND depends ${target})
  endforeach()
  add_custom_command(OUTPUT ${ARG_FOLDER}.stamp ${commands}
                     COMMAND ${CMAKE_COMMAND} -E touch ${ARG_FOLDER}.stamp
                     DEPENDS ${depends} VERBATIM)
  add_custom_target(${name} DEPENDS ${ARG_FOLDER}.stamp)
endfunction()

# onefile_pack(<target> OUTPUT <exe> [FOLDER <dir> MAIN <main file>]
#              [ATTACHED_DATA <object file>] [SPLASH <png>] [CONSOLE]
#              [OPTIONS <packer options>...] [DEPENDS ...])
# The packer finds the templates in share/onefile-pack beside its bin/.
function(onefile_pack name)
  cmake_parse_arguments(ARG "CONSOLE" "OUTPUT;FOLDER;MAIN;ATTACHED_DATA;SPLASH" "OPTIONS;DEPENDS" ${ARGN})
  set(arguments --quiet -o ${ARG_OUTPUT} ${ARG_OPTIONS})
  set(depends onefile_runtime ${ONEFILE_RUNTIME_FILES} ${ARG_DEPENDS})
  if(ARG_ATTACHED_DATA)
    list(APPEND arguments --attached-data ${ARG_ATTACHED_DATA})
    list(APPEND depends ${ARG_ATTACHED_DATA})
  else()
    list(APPEND arguments --main ${ARG_MAIN} ${ARG_FOLDER})
    list(APPEND depends ${ARG_FOLDER}.stamp)
  endif()
  if(ARG_SPLASH)
    list(APPEND arguments --splash ${ARG_SPLASH})
    list(APPEND depends ${ARG_SPLASH})
  endif()
  if(ARG_CONSOLE)
    list(APPEND arguments --console)
  endif()
  add_custom_command(OUTPUT ${ARG_OUTPUT}
                     COMMAND ${ONEFILE_PACKER} ${arguments}
                     DEPENDS ${depends} ${ONEFILE_PACKER}
                     COMMENT "Packing ${ARG_OUTPUT}" VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${ARG_OUTPUT})
endfunction()
