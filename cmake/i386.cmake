# 32-bit x86 from the same sources, on a Debian x86-64 host with g++-multilib
# and the i386 packages of libtiff, libjpeg and GoogleTest:
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake
# SSE2 does the floating point (not the x87 stack), so the vector code and
# its scalar twins round alike, as on x86-64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(zenthra_i386_flags "-m32 -msse2 -mfpmath=sse -ffp-contract=off")
set(CMAKE_C_FLAGS_INIT "${zenthra_i386_flags}")
set(CMAKE_CXX_FLAGS_INIT "${zenthra_i386_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries and packages come from the i386 folders only, never the host's.
set(CMAKE_SYSTEM_LIBRARY_PATH /usr/lib/i386-linux-gnu /lib/i386-linux-gnu /usr/lib32)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/cmake /usr/lib/x86_64-linux-gnu/pkgconfig)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)
set(CMAKE_FIND_LIBRARY_USE_LIB32_PATHS ON)
