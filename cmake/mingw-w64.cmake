# Cross-compiling the Windows program with Debian's mingw-w64 (POSIX threads flavour,
# so that std::thread and std::mutex are available).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
if(EXISTS /usr/bin/${TOOLCHAIN_PREFIX}-g++-posix)
  set(CMAKE_CXX_COMPILER /usr/bin/${TOOLCHAIN_PREFIX}-g++-posix)
  set(CMAKE_C_COMPILER /usr/bin/${TOOLCHAIN_PREFIX}-gcc-posix)
else()
  set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++)
  set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc)
endif()
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests built here run under Wine, each in a Wine prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/run-under-wine.sh)
# GCC 12 reports impossible overlaps (sizes near 2^63) inside std::basic_string's own
# copy routines when optimising for this target (a false positive of -Wrestrict, GCC bug
# 105651); the warning stays on for every other build.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
