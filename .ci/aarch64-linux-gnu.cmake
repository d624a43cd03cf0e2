# CMake toolchain for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu), which brings its own C library headers and
# libraries for that target.  .ci/aarch64 builds the aarch64 wheels with it:
#
#   pip wheel -Ccmake.toolchain-file=.ci/aarch64-linux-gnu.cmake ...
#
# The interpreter that runs the build stays the build machine's; the target's
# Python headers and extension suffix come from the build's own settings
# (Python_INCLUDE_DIR, SKBUILD_SOABI).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Programs (the interpreter among them) are looked for on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
