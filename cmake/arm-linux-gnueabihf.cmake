# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
# Cross build for ARMv7 hard-float (Cortex-A9 class devices) with Debian's
# arm-linux-gnueabihf toolchain and the armhf multiarch libraries installed beside the
# host's (dpkg --add-architecture armhf; scripts/setup does it).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# pkg-config must read the armhf .pc files, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Without binfmt_misc the host cannot exec ARM binaries by itself: CTest, and the tests
# that start the program, go through qemu-user. The armhf loader and libraries sit in the
# host's own root, so that is the emulator's library prefix.
find_program(LANBEACON_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(LANBEACON_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${LANBEACON_QEMU_ARM};-L;/")
endif()
