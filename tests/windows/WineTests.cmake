# Included by a Windows build (CMAKE_SYSTEM_NAME Windows, cross-built on Linux) before its tests:
# the test programs then run under Wine through wine-run, for CTest and for gtest's discovery
# alike, against the servers of a native Linux build of the same source (its fixture_host, and
# its Linux programs such as hostile_sftp_server). Build that one's fixture_host and
# hostile_sftp_server targets first.

set(QUORREL_NATIVE_BUILD_DIR "" CACHE PATH
  "A native Linux build of this source, whose fixture host runs the servers of the Windows tests")
if(NOT IS_ABSOLUTE "${QUORREL_NATIVE_BUILD_DIR}")
  message(FATAL_ERROR
    "Set QUORREL_NATIVE_BUILD_DIR to the absolute path of a native Linux build of this source")
endif()

# MinGW's own runtime DLLs, found where the compiler keeps them.
set(wine_test_path_arguments)
foreach(runtime_dll libstdc++-6.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime_dll}
    OUTPUT_VARIABLE runtime_file OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${runtime_file}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${runtime_dll} is")
  endif()
  get_filename_component(runtime_folder "${runtime_file}" REALPATH)
  get_filename_component(runtime_folder "${runtime_folder}" DIRECTORY)
  list(APPEND wine_test_path_arguments --path "${runtime_folder}")
endforeach()

# The DLLs of the Windows libraries this build links (MinGW's packaged ones such as libgcrypt, and
# Qt, libssh, curl of tools/build-windows-deps: the toolchain's roots) and the build's own.
foreach(library_root IN LISTS CMAKE_FIND_ROOT_PATH)
  list(APPEND wine_test_path_arguments --path "${library_root}/bin")
endforeach()
list(APPEND wine_test_path_arguments --path "${CMAKE_BINARY_DIR}/bin")

set(CMAKE_CROSSCOMPILING_EMULATOR
  ${CMAKE_CURRENT_LIST_DIR}/wine-run
  --host ${QUORREL_NATIVE_BUILD_DIR}/bin/fixture_host
  --prefix ${CMAKE_BINARY_DIR}/wine-prefix
  ${wine_test_path_arguments})

# GoogleTest built for this target from Debian's source package (googletest).
set(QUORREL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's source")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUORREL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
