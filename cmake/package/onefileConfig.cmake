# find_package(onefile): the installed packer, onefile.h as the target
# onefile::header, and onefile_add_executable, which packs an application
# folder into one Windows executable as a build step.
#
#   onefile_add_executable(NAME MAIN target-or-file [FOLDER dir] [CONSOLE]
#                          [SPLASH png] [ICON ico] [UNPACK_TO template]
#                          [ARG value...] [VERSION key value...] [OPTIONS option...])
#
# MAIN names the application's DLL (run_code) or program (.exe): a target of
# this project, whose file is packed at the top of the folder, or a file
# inside FOLDER (relative to it). FOLDER holds the application's other files;
# the executable is packed again when the main target or any of these files
# changes, and files added or removed there are seen at the next build.
# VERSION takes FILE_VERSION, PRODUCT_VERSION, PRODUCT_NAME, COMPANY_NAME,
# FILE_DESCRIPTION and COPYRIGHT, each with its value. ARG gives the packer's
# --arg, once per value; OPTIONS passes any other packer options (--utf8).
# The result is NAME.exe in the current binary folder (the target's
# ONEFILE_EXECUTABLE property), built by the target NAME.
if(CMAKE_VERSION VERSION_LESS 3.17)
  set(onefile_FOUND FALSE)
  set(onefile_NOT_FOUND_MESSAGE "onefile_add_executable needs CMake 3.17 or later")
  return()
endif()

# The package lies in <prefix>/share/cmake/onefile, the packer in <prefix>/bin.
# Computed where needed: the function may run in a scope that never saw
# this file's variables.
function(_onefile_locate_packer prefix_variable packer_variable)
  get_filename_component(prefix "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../../.." ABSOLUTE)
  set(packer "${prefix}/bin/onefile-pack")
  if(CMAKE_HOST_WIN32)
    string(APPEND packer ".exe")
  endif()
  set(${prefix_variable} "${prefix}" PARENT_SCOPE)
  set(${packer_variable} "${packer}" PARENT_SCOPE)
endfunction()

_onefile_locate_packer(_onefile_prefix ONEFILE_PACK_EXECUTABLE)
if(NOT EXISTS "${ONEFILE_PACK_EXECUTABLE}")
  set(onefile_FOUND FALSE)
  set(onefile_NOT_FOUND_MESSAGE "no packer for this machine at ${ONEFILE_PACK_EXECUTABLE}")
  return()
endif()

if(NOT TARGET onefile::header)
  add_library(onefile::header INTERFACE IMPORTED)
  # The folder holds onefile.h alone, so that a compiler for Windows never
  # sees the host's other headers of a prefix such as /usr.
  set_target_properties(onefile::header PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_onefile_prefix}/include/onefile")
endif()

function(onefile_add_executable name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE" "MAIN;FOLDER;SPLASH;ICON;UNPACK_TO"
                        "ARG;VERSION;OPTIONS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "onefile_add_executable(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_MAIN)
    message(FATAL_ERROR "onefile_add_executable(${name}): MAIN is missing")
  endif()
  _onefile_locate_packer(prefix packer)
  set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  set(options)
  # A packer or templates installed anew pack the executable again.
  file(GLOB_RECURSE depends LIST_DIRECTORIES false CONFIGURE_DEPENDS "${prefix}/share/onefile-pack/*")
  list(APPEND depends "${packer}")
  if(arg_FOLDER)
    get_filename_component(folder "${arg_FOLDER}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT IS_DIRECTORY "${folder}")
      message(FATAL_ERROR "onefile_add_executable(${name}): FOLDER ${folder} is no folder")
    endif()
    # Checked again at every build: a file added reconfigures, so that its
    # changes count. The folders are inputs too, since a removed file
    # changes nothing else that the build can see.
    file(GLOB_RECURSE files LIST_DIRECTORIES true CONFIGURE_DEPENDS "${folder}/*")
    list(APPEND depends "${folder}" ${files})
  endif()

  set(commands)
  if(TARGET ${arg_MAIN})
    # The target's file joins a copy of the folder, made afresh each time so
    # that a file removed from the folder leaves the executable too.
    set(packed_folder "${CMAKE_CURRENT_BINARY_DIR}/${name}.folder")
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E rm -rf "${packed_folder}")
    if(arg_FOLDER)
      list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy_directory "${folder}" "${packed_folder}")
    endif()
    list(APPEND commands
      COMMAND ${CMAKE_COMMAND} -E make_directory "${packed_folder}"
      COMMAND ${CMAKE_COMMAND} -E copy "$<TARGET_FILE:${arg_MAIN}>" "${packed_folder}/")
    set(main "$<TARGET_FILE_NAME:${arg_MAIN}>")
    list(APPEND depends ${arg_MAIN})
  elseif(arg_FOLDER)
    set(packed_folder "${folder}")
    set(main "${arg_MAIN}")
    if(IS_ABSOLUTE "${main}")
      file(RELATIVE_PATH main "${folder}" "${main}")
    endif()
    if(NOT EXISTS "${folder}/${main}" OR main MATCHES "^\\.\\./")
      message(FATAL_ERROR "onefile_add_executable(${name}): MAIN ${arg_MAIN} is neither a target nor a file in ${folder}")
    endif()
  else()
    message(FATAL_ERROR "onefile_add_executable(${name}): MAIN ${arg_MAIN} is no target, and no FOLDER holds it")
  endif()

  if(arg_CONSOLE)
    list(APPEND options --console)
  endif()
  foreach(key SPLASH ICON)
    if(arg_${key})
      get_filename_component(file "${arg_${key}}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      string(TOLOWER "${key}" option)
      list(APPEND options --${option} "${file}")
      list(APPEND depends "${file}")
    endif()
  endforeach()
  if(arg_UNPACK_TO)
    list(APPEND options --unpack-to "${arg_UNPACK_TO}")
  endif()
  foreach(value IN LISTS arg_ARG)
    list(APPEND options --arg "${value}")
  endforeach()
  if(arg_VERSION)
    set(keys FILE_VERSION PRODUCT_VERSION PRODUCT_NAME COMPANY_NAME FILE_DESCRIPTION COPYRIGHT)
    cmake_parse_arguments(version "" "${keys}" "" ${arg_VERSION})
    if(version_UNPARSED_ARGUMENTS OR version_KEYWORDS_MISSING_VALUES)
      message(FATAL_ERROR "onefile_add_executable(${name}): VERSION takes pairs of ${keys} and a value")
    endif()
    foreach(key IN LISTS keys)
      if(DEFINED version_${key})
        string(TOLOWER "${key}" option)
        string(REPLACE "_" "-" option "${option}")
        list(APPEND options --${option} "${version_${key}}")
      endif()
    endforeach()
  endif()

  add_custom_command(OUTPUT "${output}"
    ${commands}
    COMMAND "${packer}" --quiet --main "${main}" ${options} ${arg_OPTIONS}
            -o "${output}" "${packed_folder}"
    DEPENDS ${depends}
    COMMENT "Packing ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
  set_target_properties(${name} PROPERTIES ONEFILE_EXECUTABLE "${output}")
endfunction()
