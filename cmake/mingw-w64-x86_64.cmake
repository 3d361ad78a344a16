# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, which
# std::thread needs). Libraries built for Windows are looked up only under CMAKE_PREFIX_PATH and
# MinGW's own root, never among the host's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUORREL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORREL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORREL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORREL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORREL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries built for Windows by tools/build-windows-deps (a list of folders): found through
# their CMake packages and pkg-config files, never the host's.
set(_quorrel_pkg_config_dirs /usr/${QUORREL_MINGW_TRIPLET}/lib/pkgconfig)
foreach(_folder IN LISTS QUORREL_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${_folder})
  list(APPEND CMAKE_PREFIX_PATH ${_folder})
  list(PREPEND _quorrel_pkg_config_dirs ${_folder}/lib/pkgconfig)
endforeach()
string(REPLACE ";" ":" _quorrel_pkg_config_path "${_quorrel_pkg_config_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_quorrel_pkg_config_path}")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
