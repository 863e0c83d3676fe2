# CMake toolchain file: build for 64-bit ARM Linux on an x86-64 machine with
# the cross compiler of tools/bootstrap-aarch64-toolchain, and run the
# target's programs (the interpreter that FindPython asks for the extension
# suffix) under its qemu-aarch64.
#
# The two prefixes come from the environment, which also reaches the
# try_compile projects that CMake configures with this file:
#   TARVELPY_AARCH64_TOOLCHAIN  what tools/bootstrap-aarch64-toolchain prints
#   TARVELPY_AARCH64_SYSROOT    the sysroot of the target's interpreter, whose
#                               usr/bin/pythonX.Y is given as Python_EXECUTABLE
#                               (tools/bootstrap-aarch64-python)

foreach(var TARVELPY_AARCH64_TOOLCHAIN TARVELPY_AARCH64_SYSROOT)
  if(NOT IS_DIRECTORY "$ENV{${var}}")
    message(FATAL_ERROR "${var} must name a folder (it is '$ENV{${var}}')")
  endif()
endforeach()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

# The compiler's own prefix is its sysroot: the C library it links against is
# the one of its Debian release, never the host's, nor the newer one the
# interpreter runs on (that would raise the symbol versions the module needs).
set(CMAKE_SYSROOT "$ENV{TARVELPY_AARCH64_TOOLCHAIN}")
set(CMAKE_CXX_COMPILER "$ENV{TARVELPY_AARCH64_TOOLCHAIN}/usr/bin/aarch64-linux-gnu-g++")

set(CMAKE_CROSSCOMPILING_EMULATOR
    "$ENV{TARVELPY_AARCH64_TOOLCHAIN}/usr/bin/qemu-aarch64" -L "$ENV{TARVELPY_AARCH64_SYSROOT}")
