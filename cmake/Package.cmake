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
  # The window's pictures include JPEG files, which Qt reads through a plugin.
  install(FILES $<TARGET_FILE:Qt6::QJpegPlugin> DESTINATION bin/imageformats)
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
  # CMake compares DLL names in lower case, as Windows does, so on this case-sensitive disk it
  # misses "Qt6Core.dll"; names it leaves unresolved are looked up here without regard to case,
  # and what they load in turn, until nothing new turns up.
  install(CODE "
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND ${QUORREL_MINGW_TRIPLET}-objdump)
    set(_folders \"${_dll_folders}\")
    set(_files $<TARGET_FILE:QuorrelLauncher> $<TARGET_FILE:qsshlib>
        $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> $<TARGET_FILE:Qt6::QJpegPlugin>)
    set(_installed)
    while(_files)
      file(GET_RUNTIME_DEPENDENCIES LIBRARIES \${_files}
        RESOLVED_DEPENDENCIES_VAR _found UNRESOLVED_DEPENDENCIES_VAR _missing
        DIRECTORIES \${_folders} PRE_EXCLUDE_REGEXES [[^api-ms-]] [[^ext-ms-]])
      foreach(_name IN LISTS _missing)
        foreach(_folder IN LISTS _folders)
          file(GLOB _candidates \${_folder}/*.dll)
          foreach(_candidate IN LISTS _candidates)
            get_filename_component(_candidate_name \${_candidate} NAME)
            string(TOLOWER \${_candidate_name} _lower)
            if(_lower STREQUAL _name)
              list(APPEND _found \${_candidate})
            endif()
          endforeach()
        endforeach()
      endforeach()
      list(REMOVE_DUPLICATES _found)
      set(_files)
      foreach(_dll IN LISTS _found)
        list(FIND _installed \${_dll} _at)
        if(_at EQUAL -1)
          list(APPEND _installed \${_dll})
          list(APPEND _files \${_dll})
          file(INSTALL \${_dll} DESTINATION \${CMAKE_INSTALL_PREFIX}/bin)
          get_filename_component(_name \${_dll} NAME)
          execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded
                                  \${CMAKE_INSTALL_PREFIX}/bin/\${_name})
        endif()
      endforeach()
    endwhile()
  ")
else()
  # The entry names the program by its full path, wherever the install puts it.
  install(CODE [[
    file(WRITE $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications/quorrel-launcher.desktop
"[Desktop Entry]
Type=Application
Name=Quorrel Launcher
Comment=Keeps the game up to date and starts it
Exec=${CMAKE_INSTALL_PREFIX}/bin/QuorrelLauncher
Path=${CMAKE_INSTALL_PREFIX}/bin
Icon=quorrel-launcher
Terminal=false
Categories=Game;
")
    message(STATUS "Installing: ${CMAKE_INSTALL_PREFIX}/share/applications/quorrel-launcher.desktop")
  ]])
  foreach(_size 16 32 128 256)
    install(FILES ${CMAKE_SOURCE_DIR}/resources/icon/icon_${_size}.png
            DESTINATION share/icons/hicolor/${_size}x${_size}/apps RENAME quorrel-launcher.png)
  endforeach()
endif()
