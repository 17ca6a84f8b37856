# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix threads variant,
# so std::thread and std::mutex work). Libraries built for the target live
# under AV_WIN_DEPS (scripts/build-windows.sh builds them there).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(AV_WIN_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${AV_WIN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${AV_WIN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${AV_WIN_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${AV_WIN_TRIPLE})
if(DEFINED ENV{AV_WIN_DEPS})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{AV_WIN_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One self-contained .exe each: no libstdc++/winpthread DLLs to ship.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Tests run through wine (Debian's wine64 installs its loader under /usr/lib/wine).
find_program(AV_WINE NAMES wine wine64 HINTS /usr/lib/wine)
if(AV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${AV_WINE})
endif()
