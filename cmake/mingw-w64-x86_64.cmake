# The 64-bit Windows program, for Wine where 32-bit code cannot run.
set(mingw_arch x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
