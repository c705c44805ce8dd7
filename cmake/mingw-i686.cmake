# Cross build for Windows (i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Float arithmetic on SSE as in every build (no x87 extended precision), and
# the whole 4 GiB of address space under a 64-bit Windows (-m8 needs 2.8 GiB).
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--large-address-aware")
