# Toolchain for the camera's 64-bit Arm Linux: Debian's cross compilers with
# the target's libraries installed through multiarch (tools/install-cross.sh).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCORVANE_DEPS_TARGET=aarch64 ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch keeps both architectures' libraries under /usr: the host's must
# never satisfy a search for the target's.
list(APPEND CMAKE_IGNORE_PATH
  /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
  /usr/lib/x86_64-linux-gnu/cmake /usr/lib/x86_64-linux-gnu/pkgconfig)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# The FFmpeg flavour built by `tools/build-deps.sh --target aarch64`.
set(CORVANE_DEPS_TARGET aarch64 CACHE STRING "FFmpeg build flavour in the deps cache")

# Target programs run on this machine under user-mode emulation: CTest puts
# the emulator in front of test executables, and the integration harness in
# front of the program and the peers it starts.
find_program(CORVANE_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(CORVANE_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CORVANE_QEMU_AARCH64}")
endif()
