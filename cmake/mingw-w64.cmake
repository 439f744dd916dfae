# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix threads) and runs what it
# built under Wine. The toolchain's runtime (libgcc, libstdc++, winpthread) is linked into every
# module, so the built files run without any DLL of the toolchain beside them.
# VARNOCK_WINDOWS_DEPS names the folder scripts/windows-deps.sh filled (Boost.Filesystem, SQLite,
# GoogleTest and the header-only libraries); it defaults to windows-deps in the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT VARNOCK_WINDOWS_DEPS)
  set(VARNOCK_WINDOWS_DEPS ${CMAKE_BINARY_DIR}/windows-deps)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARNOCK_WINDOWS_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${VARNOCK_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime everywhere; a DLL exports none of the runtime and dependency archives it carries.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,libgcc_eh.a:libpthread.a:libwinpthread.a:libboost_filesystem.a:libsqlite3.a")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,libgcc_eh.a:libpthread.a:libwinpthread.a:libboost_filesystem.a:libsqlite3.a")

# Boost.Filesystem is the static library windows-deps.sh built.
set(Boost_USE_STATIC_LIBS ON)
set(Boost_NO_BOOST_CMAKE ON)
set(Boost_NO_SYSTEM_PATHS ON)
set(BOOST_ROOT ${VARNOCK_WINDOWS_DEPS})

find_program(VARNOCK_WINE NAMES wine)
if(VARNOCK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNOCK_WINE})
endif()
