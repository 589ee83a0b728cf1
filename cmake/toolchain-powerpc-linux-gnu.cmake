# Cross build for the device: 32-bit big-endian PowerPC, glibc, with the
# Debian cross compilers (g++-powerpc-linux-gnu) and their target files in
# /usr/powerpc-linux-gnu. Programs of the build run under qemu-user, so ctest
# works the same way as on the host and nothing depends on binfmt handlers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(COMM_RMS_TARGET_TRIPLE powerpc-linux-gnu)
set(COMM_RMS_TARGET_ROOT /usr/${COMM_RMS_TARGET_TRIPLE} CACHE PATH
    "Target libraries and headers (the emulator's library prefix)")

set(CMAKE_C_COMPILER ${COMM_RMS_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${COMM_RMS_TARGET_TRIPLE}-g++)

# Large-file interfaces: under qemu on a 64-bit host, directory offsets and
# inode numbers are 64-bit values, and the 32-bit readdir/stat fail on them
# with EOVERFLOW. No interface of ours carries off_t or ino_t.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

# 32-bit PowerPC has no 64-bit atomic instructions: gcc turns operations on
# 8-byte std::atomic values into calls to libatomic, linked last.
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-latomic")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")

# Debian's cross compilers know their own search paths: this is not a full
# sysroot, so it only steers find_*() to target files, never to host ones.
set(CMAKE_FIND_ROOT_PATH ${COMM_RMS_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(COMM_RMS_QEMU NAMES qemu-ppc qemu-ppc-static NO_CMAKE_FIND_ROOT_PATH)
if(COMM_RMS_QEMU)
  # -L: the target's dynamic loader and libraries come from the target root.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${COMM_RMS_QEMU} -L ${COMM_RMS_TARGET_ROOT})
  # The option that sets the guest's argv[0] (see comm_rms_add_test_group).
  set(COMM_RMS_EMULATOR_ARGV0_OPTION -0)
else()
  message(WARNING "qemu-ppc not found (Debian package qemu-user): "
                  "the PowerPC build compiles but its tests cannot run")
endif()
