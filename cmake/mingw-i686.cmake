# The shipping build: the 32-bit DLL the host loads.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SFVCHECK_MINGW_TRIPLE i686-w64-mingw32)
set(SFVCHECK_WINE_BITS 32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
