# Cross-compiles the library, the stand-in renderer and the tests for 64-bit
# ARM Linux with Debian's aarch64-linux-gnu toolchain. Test programs run
# under qemu-user through CMAKE_CROSSCOMPILING_EMULATOR, with the ARM C
# library from the cross toolchain's sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_NM aarch64-linux-gnu-nm)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QEMU_PROGRAM NAMES qemu-aarch64 qemu-aarch64-static NO_CMAKE_FIND_ROOT_PATH)
if(QEMU_PROGRAM)
  # The newest processor model qemu has, so that the tests meet the newest
  # floating-point controls it emulates.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_PROGRAM} -cpu max -L /usr/aarch64-linux-gnu)
endif()
