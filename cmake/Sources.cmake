# Source lists by folder, one per layer (includes point only downward):
#   core/crc, core/check, core/settings, core/host   platform-free core
#   win32/                                           every Windows implementation
#   plugin/ + resources/                             the DLL itself: DllMain, exports, .def, resources
# SFVCHECK_ROOT is the source tree (the fuzz project includes this file too).
set(SFVCHECK_CORE_DIRS crc check settings host)
set(SFVCHECK_CORE_SOURCES)
foreach(dir IN LISTS SFVCHECK_CORE_DIRS)
  file(GLOB dir_sources CONFIGURE_DEPENDS ${SFVCHECK_ROOT}/core/${dir}/*.cpp)
  list(APPEND SFVCHECK_CORE_SOURCES ${dir_sources})
endforeach()

file(GLOB SFVCHECK_WIN32_SOURCES CONFIGURE_DEPENDS ${SFVCHECK_ROOT}/win32/*.cpp)

file(GLOB SFVCHECK_DLL_SOURCES CONFIGURE_DEPENDS ${SFVCHECK_ROOT}/plugin/*.cpp)
file(GLOB SFVCHECK_RC_SOURCES CONFIGURE_DEPENDS ${SFVCHECK_ROOT}/resources/*.rc)
list(APPEND SFVCHECK_DLL_SOURCES ${SFVCHECK_RC_SOURCES} ${SFVCHECK_ROOT}/plugin/sfvcheck.def)

# Each CRC tier beyond the portable one is compiled for its own instruction
# set alone, and is only called after the processor probe has confirmed it.
# Source properties hold per directory: call this where the core is built.
function(sfvcheck_set_crc_tier_flags)
  set_source_files_properties(${SFVCHECK_ROOT}/core/crc/crc32_clmul.cpp
    PROPERTIES COMPILE_OPTIONS "-mpclmul;-msse4.1")
  set_source_files_properties(${SFVCHECK_ROOT}/core/crc/crc32_avx2.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx2;-mvpclmulqdq;-mpclmul;-msse4.1")
  set_source_files_properties(${SFVCHECK_ROOT}/core/crc/crc32_avx512.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx512f;-mvpclmulqdq;-mpclmul;-msse4.1")
endfunction()
