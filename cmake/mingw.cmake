# Windows with mingw-w64 for the architecture in TBX_MINGW_ARCH (i686 or
# x86_64); tests run under Wine through run-wine.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TBX_MINGW_ARCH})
set(tbx_triple ${TBX_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${tbx_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tbx_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${tbx_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${tbx_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(TBX_OBJDUMP ${tbx_triple}-objdump)
