# notchkey.exe for 64-bit Windows: not shipped; the Wine desk's program where
# the kernel runs no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
