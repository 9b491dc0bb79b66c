# Cross-building for arm64 with Debian's cross toolchain
# (crossbuild-essential-arm64) and its multiarch libraries (libcups2-dev:arm64,
# ...), which sit in /usr/lib/aarch64-linux-gnu beside the host's; the headers
# in /usr/include are shared. Programs run at build time (ppdc) are the host's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")
# Test programs (and GoogleTest's test discovery) run under qemu-user; the
# arm64 loader and libraries are the multiarch ones in /lib and /usr/lib.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
