# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# The Windows libraries that Debian does not package (libzstd), which
# .ci/install-windows-deps builds and installs there; the environment's ART_WINDOWS_DEPS,
# where set, moves it for both.
if(DEFINED ENV{ART_WINDOWS_DEPS})
  set(ART_WINDOWS_DEPS "$ENV{ART_WINDOWS_DEPS}" CACHE PATH "Prefix of the Windows libraries built by .ci/install-windows-deps")
else()
  set(ART_WINDOWS_DEPS /opt/art-deps/x86_64-w64-mingw32 CACHE PATH "Prefix of the Windows libraries built by .ci/install-windows-deps")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${ART_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
