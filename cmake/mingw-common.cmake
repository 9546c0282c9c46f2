# Shared by the MinGW-w64 toolchain files; FP_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${FP_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${FP_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${FP_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Technicians get one .exe and nothing else: no libgcc, libstdc++ or winpthread DLL beside it.
# No link time in the PE header either, so that a commit always builds the same bytes.
# Terminal-server aware: in a Remote Desktop session Windows then runs it as it is, without
# the compatibility shims it gives programs older than terminal servers.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp -Wl,--tsaware \
${FP_MINGW_LINK_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# The one deliverable lands at the top of the build tree: build/<preset>/fpflash.exe.
if(NOT DEFINED CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()
