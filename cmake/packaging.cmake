# Packages of the installed program, made with CPack: a Debian package from
# the native build (cpack -G DEB), a zip from the Windows build (cpack -G ZIP).
# Both hold bin/onefile-pack and share/onefile-pack/.
set(ONEFILE_PACKAGE_MAINTAINER "onefile developers <onefile@localhost>" CACHE STRING
    "The maintainer named in the packages")
set(CPACK_PACKAGE_NAME onefile-pack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR onefile)
set(CPACK_PACKAGE_CONTACT ${ONEFILE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Packs a Windows application folder into one executable")
# Lines as Debian wants them, shorter than 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "onefile-pack packs a folder that holds a Windows x86-64 application (a main"
  "DLL that exports run_code, or a program) into one executable. At run time"
  "the executable unpacks the folder into a temporary folder, runs the"
  "application and removes the folder again. The packer writes the executable"
  "itself from prebuilt templates: it needs no compiler.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME onefile-pack-${PROJECT_VERSION}-windows-x86_64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  # The templates are Windows executables, data to the packer: dpkg-shlibdeps
  # reads only the packer and finds its libraries (libstdc++, libc); zstd is
  # linked in.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
