# Shared part of the MinGW-w64 toolchains; SFVCHECK_MINGW_TRIPLE names the target.
# The posix threads variant is used: GoogleTest needs std::mutex, which the
# win32 threads variant lacks.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${SFVCHECK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SFVCHECK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SFVCHECK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SFVCHECK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Windows executables (tests, benchmarks, the test host) run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh ${SFVCHECK_WINE_BITS})
