# libzstd, which art_common calls to compress: the imported target art::zstd, its header
# folder and its library. The top CMakeLists.txt includes this file, and so does the
# installed package's configuration (find_package(art_common)), from beside it.
#   Debian: the package libzstd-dev, which .ci/install-deps installs.
#   Windows (mingw-w64): .ci/install-windows-deps cross-builds it into ART_WINDOWS_DEPS,
#   the prefix that cmake/mingw-w64-x86_64.cmake searches.
# Where it is missing or too old, the build stops with what to run; the package's
# configuration sets art_zstd_missing to that text instead (art_zstd_report_only).
if(TARGET art::zstd)
  return()
endif()
set(art_zstd_needed 1.4.0)
find_path(ART_ZSTD_INCLUDE_DIR zstd.h HINTS ${art_zstd_hints} PATH_SUFFIXES include
          DOC "Folder of zstd.h")
find_library(ART_ZSTD_LIBRARY zstd HINTS ${art_zstd_hints} PATH_SUFFIXES lib
             DOC "libzstd, the library")
set(art_zstd_missing "")
if(NOT ART_ZSTD_INCLUDE_DIR)
  set(art_zstd_missing "libzstd is missing: no zstd.h found (ART_ZSTD_INCLUDE_DIR)")
elseif(NOT ART_ZSTD_LIBRARY)
  set(art_zstd_missing "libzstd is missing: no library zstd found (ART_ZSTD_LIBRARY)")
else()
  file(STRINGS ${ART_ZSTD_INCLUDE_DIR}/zstd.h art_zstd_version REGEX "^#define ZSTD_VERSION_(MAJOR|MINOR|RELEASE) +[0-9]+")
  string(REGEX REPLACE "[^;]* ([0-9]+);[^;]* ([0-9]+);[^;]* ([0-9]+)" "\\1.\\2.\\3" art_zstd_version "${art_zstd_version}")
  if(NOT art_zstd_version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$" OR art_zstd_version VERSION_LESS art_zstd_needed)
    set(art_zstd_missing "libzstd ${art_zstd_needed} or later needed, ${ART_ZSTD_INCLUDE_DIR}/zstd.h is '${art_zstd_version}'")
  endif()
endif()
if(art_zstd_missing)
  if(CMAKE_CROSSCOMPILING AND WIN32)
    string(APPEND art_zstd_missing ". For the Windows build, .ci/install-windows-deps builds it into "
           "ART_WINDOWS_DEPS (${ART_WINDOWS_DEPS}); or set ART_WINDOWS_DEPS to where it is installed")
  else()
    string(APPEND art_zstd_missing ". On Debian, .ci/install-deps installs it (the package libzstd-dev); "
           "elsewhere set ART_ZSTD_INCLUDE_DIR and ART_ZSTD_LIBRARY")
  endif()
  if(NOT art_zstd_report_only)
    message(FATAL_ERROR "${art_zstd_missing}")
  endif()
  return()
endif()
add_library(art::zstd UNKNOWN IMPORTED)
set_target_properties(art::zstd PROPERTIES IMPORTED_LOCATION ${ART_ZSTD_LIBRARY}
                      INTERFACE_INCLUDE_DIRECTORIES ${ART_ZSTD_INCLUDE_DIR})
get_filename_component(art_zstd_prefix ${ART_ZSTD_INCLUDE_DIR} DIRECTORY)
