# Cross-compiling for Windows with MinGW-w64 (Debian's g++-mingw-w64),
# for the architecture that the including toolchain file sets in
# SLOTREC_MINGW_ARCH. The -posix compilers carry the thread model std::thread
# needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SLOTREC_MINGW_ARCH})

set(CMAKE_C_COMPILER ${SLOTREC_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${SLOTREC_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${SLOTREC_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_ASM_COMPILER ${SLOTREC_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_AR /usr/bin/${SLOTREC_MINGW_ARCH}-w64-mingw32-gcc-ar-posix)
set(CMAKE_RANLIB /usr/bin/${SLOTREC_MINGW_ARCH}-w64-mingw32-gcc-ranlib-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${SLOTREC_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs: the C++ runtime, libgcc and winpthread are linked
# in, so nothing beyond Windows' own DLLs is needed beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
