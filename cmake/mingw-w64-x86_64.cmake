# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (POSIX
# thread model). TESSARY_WIN_PREFIX names the folder that holds the image
# libraries built for Windows (scripts/build-windows makes it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_triplet}-windres)
set(CMAKE_AR ${_triplet}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${_triplet}-gcc-ranlib-posix CACHE FILEPATH "")

if(NOT TESSARY_WIN_PREFIX AND DEFINED ENV{TESSARY_WIN_PREFIX})
  set(TESSARY_WIN_PREFIX $ENV{TESSARY_WIN_PREFIX})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSARY_WIN_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${_triplet} ${TESSARY_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static libraries only: the program needs no DLLs besides the system's.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
# The platform's settings, read after this file, put the DLLs' import
# libraries (.dll.a) first again; zlib is the one library here that comes both
# ways (Debian's MinGW package), so it is asked for statically by name.
set(ZLIB_USE_STATIC_LIBS ON)

# The C and C++ runtimes and winpthread linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run through Wine when ctest runs on the build machine. They are
# listed then, not as they are linked: two listings at once under Wine can
# race its server, and its helper processes keep the listing's output open.
find_program(TESSARY_WINE NAMES wine64 wine)
if(TESSARY_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSARY_WINE})
endif()
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
