# Cross build for Linux on another CPU, against the Debian Python for that
# CPU that tools/foreign-sysroot.sh unpacks (3.13, or a newer release).  Read from the
# environment, because CMake reads a toolchain file again, without the
# command line's cache, for each compiler check:
#
#   CPROTECTION_TRIPLE   the GNU triple, e.g. aarch64-linux-gnu; its cross
#                        compilers are TRIPLE-g++ and TRIPLE-gcc
#   CPROTECTION_FOREIGN  the directory that tools/foreign-sysroot.sh made:
#                        root/ holds the packages, emulate runs their
#                        programs under qemu
set(triple "$ENV{CPROTECTION_TRIPLE}")
set(foreign "$ENV{CPROTECTION_FOREIGN}")
# The root holds one interpreter; its headers name its release.
file(GLOB headers RELATIVE "${foreign}/root/usr/include/${triple}" "${foreign}/root/usr/include/${triple}/python3.*")
list(LENGTH headers count)
if(NOT triple OR NOT count EQUAL 1)
    message(FATAL_ERROR "foreign-linux: CPROTECTION_TRIPLE='${triple}' and CPROTECTION_FOREIGN='${foreign}'"
                        " name no foreign Python (tools/foreign-sysroot.sh makes one)")
endif()

string(REGEX MATCH "^[^-]+" processor "${triple}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${processor}")
set(CMAKE_CXX_COMPILER "${triple}-g++")
set(CMAKE_C_COMPILER "${triple}-gcc")

# FindPython asks the target's own interpreter, run under qemu, for the
# extension suffix and its headers, instead of the interpreter that runs
# the build.  That needs the emulator and the newer cross-compiling
# behaviour, which must be asked for on the command line, before the
# project's cmake_minimum_required: -DCMAKE_POLICY_DEFAULT_CMP0190=NEW.
set(CMAKE_CROSSCOMPILING_EMULATOR "${foreign}/emulate")
set(Python_EXECUTABLE "${foreign}/root/usr/bin/${headers}" CACHE FILEPATH "" FORCE)
set(Python_INCLUDE_DIR "${foreign}/root/usr/include/${headers}" CACHE PATH "" FORCE)
# Debian's pyconfig.h includes <TRIPLE/python3.N/pyconfig.h>.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${foreign}/root/usr/include")
