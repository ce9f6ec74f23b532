# The distribution ZIP: what an administrator copies to a Windows machine and what a plug-in
# author builds against. `cmake --build <build> --target package` writes it into the build folder.
#
#   program/        the program directory: service, user-session host, trace and daemon modules,
#                   configuration check (install with "VeMoHostService.exe /install" from here)
#   plugin-kit/     contract header, CMake function, sample plug-in with its sources
#   config-samples/ plug-in configuration files of the demo installation
#   docs/           README and reference
install(TARGETS VeMoHostService VeMoHost QnUmTraceSystem001 QRNCSAVeMoDaemon001 VeMoPluginCheck reader_watch
        RUNTIME DESTINATION program COMPONENT program)
install(FILES ${PROJECT_SOURCE_DIR}/include/VeMoPlugin.h DESTINATION plugin-kit/include COMPONENT kit)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/VemoPlugin.cmake DESTINATION plugin-kit/cmake COMPONENT kit)
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
set(CPACK_SYSTEM_NAME win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
