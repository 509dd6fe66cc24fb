# 32-bit x86 build on an x86-64 Debian host with g++-multilib:
#   cmake -S . -B build-i386 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
# Every language gets -m32 (GoogleTest builds C too), and libraries are looked up in the
# i386 multiarch folders, so a 64-bit library is never picked up by mistake.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
foreach(v C_FLAGS CXX_FLAGS EXE_LINKER_FLAGS SHARED_LINKER_FLAGS MODULE_LINKER_FLAGS)
  set(CMAKE_${v}_INIT "-m32")
endforeach()
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
