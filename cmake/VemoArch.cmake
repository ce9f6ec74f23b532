# VEMO_ARCH picks the cross compiler before project(): x86 is the product (a 32-bit process that
# hosts 32-bit plug-ins), x64 the second build kept beside it.
set(VEMO_ARCH x86 CACHE STRING "Target architecture: x86 (the product) or x64")
set_property(CACHE VEMO_ARCH PROPERTY STRINGS x86 x64)
if(NOT CMAKE_TOOLCHAIN_FILE)
  if(VEMO_ARCH STREQUAL "x86")
    set(CMAKE_TOOLCHAIN_FILE ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake CACHE FILEPATH "")
  elseif(VEMO_ARCH STREQUAL "x64")
    set(CMAKE_TOOLCHAIN_FILE ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake CACHE FILEPATH "")
  else()
    message(FATAL_ERROR "VEMO_ARCH must be x86 or x64, not '${VEMO_ARCH}'")
  endif()
endif()
