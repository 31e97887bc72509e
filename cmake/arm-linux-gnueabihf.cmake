# Cross build for 32-bit ARM gateways; tests run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The multiarch armhf C library (libc6:armhf) is the one the programs link
# against; its own loader must run them, or threads crash under qemu.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# GCC notes an ABI change from 2017 on every std::vector of doubles; nothing here links older code.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
# pkg-config (FindOpenSSL, FindPkgConfig) must report the armhf libraries, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
