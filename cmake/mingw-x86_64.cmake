# A 64-bit build of the same code, so the Windows tests run at native speed
# under a 64-bit Wine on machines that cannot run 32-bit code natively.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SFVCHECK_MINGW_TRIPLE x86_64-w64-mingw32)
set(SFVCHECK_WINE_BITS 64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
