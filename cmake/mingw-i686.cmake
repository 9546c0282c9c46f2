# Cross-build of the 32-bit Windows console program with MinGW-w64 (Debian: g++-mingw-w64-i686).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(FP_MINGW_TRIPLE i686-w64-mingw32)
# Windows XP (5.1) refuses a program that asks for a newer subsystem; pinned at the
# toolchain's own 4.0 so that a newer binutils cannot raise it unnoticed.
set(FP_MINGW_LINK_FLAGS "-Wl,--major-subsystem-version,4,--minor-subsystem-version,0")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
