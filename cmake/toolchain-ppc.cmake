# Cross build for the appliance: 32-bit big-endian PowerPC, Debian's cross compiler.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests of the target build run under user-mode emulation.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L /usr/powerpc-linux-gnu)
# Without max-page-size every ppc32 binary carries about 60 KB of segment
# padding.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096")
# Position-independent code adds 16.5 KB (23%) to the stripped shell on ppc32
# (docs/performance.md); the appliance is short of flash, not of address space
# randomisation, so the target gets position-dependent executables with the
# other hardening measures (cmake/Hardening.cmake).
set(ZCON_HARDENING_INIT "fortify;stack-protector;relro;now")
