# Cross build for Windows with the MinGW-w64 GCC of the distribution, for the
# target MINGW_TRIPLET (set by the toolchain file that includes this one).
# The -posix compilers (the plain names have the win32 thread model, with
# which GoogleTest does not build); everything linked statically (Wine ends
# a program that misses a runtime DLL with code 53 and no message).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Programs built here (the tests, GoogleTest's listing of them) run under
# Wine, in the build's own prefix (scripts/wine-run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
