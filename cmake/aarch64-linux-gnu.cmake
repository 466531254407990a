# Cross-compiles for 64-bit Arm Linux with Debian's cross toolchain, against the arm64 libraries
# of Debian's multiarch packages (scripts/setup.sh installs both). Programs built with it
# run on an Arm machine, or here under qemu-user (scripts/test-arm64.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# No "-L /usr/aarch64-linux-gnu": that would load the cross package's dynamic loader beside the
# multiarch libc.so.6, two glibc builds whose private state differs, and the first thread a
# program starts would never run. Without it the multiarch loader and libraries are used.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# Headers and libraries come from the arm64 packages (and the architecture-independent ones);
# programs run during the build come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
