# Cross build for 32-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-i686). The program it
# makes runs on 32-bit and 64-bit Windows alike.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QEL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
