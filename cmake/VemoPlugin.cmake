# vemo_add_plugin(<target> SOURCES ... [OUTPUT_NAME name] [DESCRIPTION text] [DEF file])
#
# A plug-in DLL as the service loads it: no "lib" prefix, the contract header VeMoPlugin.h on the
# include path, entry points exported under their plain names, a VERSIONINFO resource, the C++
# runtime linked statically (set for the whole project) and the DLL in the common bin directory,
# next to the service and the trace module.
#
# DEF names the exports. Without it, mark each entry point __declspec(dllexport) in the source;
# a DLL with neither exports every global symbol of its own code.
function(vemo_add_plugin target)
  cmake_parse_arguments(P "" "OUTPUT_NAME;DESCRIPTION;DEF" "SOURCES" ${ARGN})
  if(NOT P_SOURCES)
    message(FATAL_ERROR "vemo_add_plugin(${target}): SOURCES is required")
  endif()
  if(P_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vemo_add_plugin(${target}): unknown arguments ${P_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT P_OUTPUT_NAME)
    set(P_OUTPUT_NAME ${target})
  endif()
  if(NOT P_DESCRIPTION)
    set(P_DESCRIPTION "TRUVO VeMo Plugin ${P_OUTPUT_NAME}")
  endif()

  add_library(${target} SHARED ${P_SOURCES} ${P_DEF})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  # The import library keeps the target's name, so two plug-ins never write the same .a file.
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${P_OUTPUT_NAME}
    ARCHIVE_OUTPUT_NAME ${target}
    RUNTIME_OUTPUT_DIRECTORY ${VEMO_BIN_DIR})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # 32-bit WINAPI names carry an @n suffix; the service looks them up undecorated.
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  endif()
  vemo_add_version(${target} "${P_DESCRIPTION}")
endfunction()
