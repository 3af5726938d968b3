# Cross toolchain: Windows with mingw-w64 (POSIX thread model).
# IVL_ARCH=i686 builds the 32-bit deliverables; IVL_ARCH=x86_64 builds the same sources as
# 64-bit programs, for machines whose kernel cannot run 32-bit code (and so no 32-bit Wine).
set(IVL_ARCH i686 CACHE STRING "i686 or x86_64")
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${IVL_ARCH})
set(CMAKE_C_COMPILER ${IVL_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${IVL_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${IVL_ARCH}-w64-mingw32-windres)
set(CMAKE_AR ${IVL_ARCH}-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${IVL_ARCH}-w64-mingw32-ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${IVL_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
