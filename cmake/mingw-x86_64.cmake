# The same program as a 64-bit Windows build (Debian: g++-mingw-w64-x86-64-win32). It is not
# shipped: it lets the Windows code run under 64-bit Wine where 32-bit programs can't run.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(FP_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
