# What `cmake --install` puts where: a complete program for the system built for. On Windows, a
# folder that runs with nothing else installed: the launcher, qsshlib.dll, every DLL they load and
# Qt's plugins. Elsewhere, a desktop program: the launcher and its library side by side, a desktop
# entry and the icons under their freedesktop names.

install(TARGETS QuorrelLauncher RUNTIME DESTINATION bin)

if(WIN32)
  # The program's icon, made from the same pictures as the window's.
  find_program(QUORREL_CONVERT convert REQUIRED)
  set(_icon ${CMAKE_CURRENT_BINARY_DIR}/QuorrelLauncher.ico)
  set(_icon_sources ${CMAKE_SOURCE_DIR}/resources/icon/icon_16.png
                    ${CMAKE_SOURCE_DIR}/resources/icon/icon_32.png
                    ${CMAKE_SOURCE_DIR}/resources/icon/icon_256.png)
  add_custom_command(OUTPUT ${_icon} COMMAND ${QUORREL_CONVERT} ${_icon_sources} ${_icon}
                     DEPENDS ${_icon_sources} VERBATIM)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/QuorrelLauncher.rc "1 ICON \"QuorrelLauncher.ico\"\n")
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/QuorrelLauncher.rc
                              PROPERTIES OBJECT_DEPENDS ${_icon})
  target_sources(QuorrelLauncher PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/QuorrelLauncher.rc)

  # Qt finds its plugins in these folders beside the program.
  install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION bin/platforms)
  if(TARGET Qt6::QWindowsVistaStylePlugin)
    install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION bin/styles)
  endif()

  # Every DLL the program, the library and the plugins load, from the Windows libraries built for
  # them and MinGW's runtime. Windows' own DLLs are found in none of these folders: they stay
  # unresolved, and are on every machine.
  get_target_property(_qt_core_dll Qt6::Core IMPORTED_LOCATION_RELEASE)
  get_filename_component(_qt_bin ${_qt_core_dll} DIRECTORY)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                  OUTPUT_VARIABLE _libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(_gcc_runtime ${_libstdcxx} DIRECTORY)
  set(_dll_folders ${_qt_bin} ${_gcc_runtime} /usr/${QUORREL_MINGW_TRIPLET}/lib
      /usr/${QUORREL_MINGW_TRIPLET}/bin)
  foreach(_folder IN LISTS QUORREL_WINDOWS_DEPS)
    list(APPEND _dll_folders ${_folder}/bin)
  endforeach()
  install(CODE "
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND ${QUORREL_MINGW_TRIPLET}-objdump)
    file(GET_RUNTIME_DEPENDENCIES
      EXECUTABLES $<TARGET_FILE:QuorrelLauncher>
      LIBRARIES $<TARGET_FILE:qsshlib> $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>
      RESOLVED_DEPENDENCIES_VAR _found
      UNRESOLVED_DEPENDENCIES_VAR _missing
      DIRECTORIES ${_dll_folders}
      PRE_EXCLUDE_REGEXES [[^api-ms-]] [[^ext-ms-]])
    foreach(_dll IN LISTS _found)
      file(INSTALL \${_dll} DESTINATION \${CMAKE_INSTALL_PREFIX}/bin)
    endforeach()
  ")
else()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/quorrel-launcher.desktop
          DESTINATION share/applications)
  foreach(_size 16 32 128 256)
    install(FILES ${CMAKE_SOURCE_DIR}/resources/icon/icon_${_size}.png
            DESTINATION share/icons/hicolor/${_size}x${_size}/apps RENAME quorrel-launcher.png)
  endforeach()
endif()
