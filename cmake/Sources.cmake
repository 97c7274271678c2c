# Source lists by naming rule, so adding a module needs no build edit:
#   *_win32.cpp           Windows-only, in the sfvcheck_win32 library
#   plugin/dll_*.cpp       the DLL's own entry points (DllMain, exports)
#   everything else        platform-free core
file(GLOB SFVCHECK_ALL_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/engine/*.cpp
  ${CMAKE_SOURCE_DIR}/settings/*.cpp
  ${CMAKE_SOURCE_DIR}/plugin/*.cpp)

set(SFVCHECK_CORE_SOURCES)
set(SFVCHECK_WIN32_SOURCES)
set(SFVCHECK_DLL_SOURCES)
foreach(source IN LISTS SFVCHECK_ALL_SOURCES)
  get_filename_component(name ${source} NAME)
  if(name MATCHES "^dll_.*\\.cpp$")
    list(APPEND SFVCHECK_DLL_SOURCES ${source})
  elseif(name MATCHES "_win32\\.cpp$")
    list(APPEND SFVCHECK_WIN32_SOURCES ${source})
  else()
    list(APPEND SFVCHECK_CORE_SOURCES ${source})
  endif()
endforeach()

file(GLOB SFVCHECK_RC_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*.rc)
list(APPEND SFVCHECK_DLL_SOURCES ${SFVCHECK_RC_SOURCES} ${CMAKE_SOURCE_DIR}/plugin/sfvcheck.def)
