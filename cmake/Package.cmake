# The distribution ZIP: what an administrator copies to a Windows machine and what a plug-in
# author builds against. `cmake --build <build> --target package` writes it into the build folder.
#
#   program/        the program directory of this build's architecture: service, user-session
#                   host, trace and daemon modules, configuration check (install with
#                   "VeMoHostService.exe /install" from here)
#   program-x64/    the x64 build's program directory, in the x86 ZIP when VEMO_X64_BIN_DIR names
#                   that build's bin folder
#   plugin-kit/     contract and trace headers, CMake files, sample plug-in: builds on its own
#   config-samples/ plug-in configuration files of the demo installation
#   docs/           README and reference
install(TARGETS VeMoHostService VeMoHost QnUmTraceSystem001 QRNCSAVeMoDaemon001 VeMoPluginCheck reader_watch
        RUNTIME DESTINATION program COMPONENT program)
set(VEMO_PROGRAM_FILES VeMoHostService.exe VeMoHost.exe QnUmTraceSystem001.dll QRNCSAVeMoDaemon001.dll
    VeMoPluginCheck.exe VeMoReaderWatch.dll)
set(VEMO_X64_BIN_DIR "" CACHE PATH "bin folder of the x64 build, carried in the x86 ZIP as program-x64/")
if(VEMO_ARCH STREQUAL "x86" AND VEMO_X64_BIN_DIR)
  list(TRANSFORM VEMO_PROGRAM_FILES PREPEND ${VEMO_X64_BIN_DIR}/ OUTPUT_VARIABLE _x64_files)
  install(FILES ${_x64_files} DESTINATION program-x64 COMPONENT program OPTIONAL)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/samples/plugin-kit/CMakeLists.txt DESTINATION plugin-kit COMPONENT kit)
install(FILES ${PROJECT_SOURCE_DIR}/include/VeMoPlugin.h ${PROJECT_SOURCE_DIR}/include/VeMoPluginTrace.h
        DESTINATION plugin-kit/include COMPONENT kit)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/VemoPlugin.cmake ${PROJECT_SOURCE_DIR}/cmake/VersionInfo.cmake
              ${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${PROJECT_SOURCE_DIR}/cmake/VemoArch.cmake
              ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
              ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-common.cmake
        DESTINATION plugin-kit/cmake COMPONENT kit)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/samples/plugins/ReaderWatch/ DESTINATION plugin-kit/samples/ReaderWatch
        COMPONENT kit)
install(FILES ${PROJECT_SOURCE_DIR}/samples/demo/B0000001.xml ${PROJECT_SOURCE_DIR}/samples/demo/B0000002.xml
        DESTINATION config-samples COMPONENT samples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION docs COMPONENT docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs COMPONENT docs FILES_MATCHING PATTERN "*.md")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME VeMoHostService)
set(CPACK_PACKAGE_VENDOR "TRUVO")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME ${VEMO_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)

# The x86 product as an MSI: `cmake --build <build> --target msi` writes
# VeMoHostService-<version>-x86.msi into the build folder (wixl, from msitools).
if(VEMO_ARCH STREQUAL "x86")
  find_program(VEMO_WIXL wixl)
  if(VEMO_WIXL)
    set(VEMO_MSI ${CMAKE_BINARY_DIR}/VeMoHostService-${PROJECT_VERSION}-x86.msi)
    add_custom_command(OUTPUT ${VEMO_MSI}
      COMMAND ${VEMO_WIXL} -a x86 -D Version=${PROJECT_VERSION} -o ${VEMO_MSI}
              ${PROJECT_SOURCE_DIR}/packaging/VeMoHostService.wxs
      WORKING_DIRECTORY ${VEMO_BIN_DIR}
      DEPENDS ${PROJECT_SOURCE_DIR}/packaging/VeMoHostService.wxs VeMoHostService VeMoHost QnUmTraceSystem001
              QRNCSAVeMoDaemon001 VeMoPluginCheck reader_watch
      VERBATIM)
    add_custom_target(msi DEPENDS ${VEMO_MSI})
  endif()
endif()
