# Shared part of the cross toolchain files: ACL_TCAM_CROSS_TRIPLE names the
# Debian cross toolchain, ACL_TCAM_CROSS_QEMU the qemu-user binary that runs
# its executables.
set(CMAKE_C_COMPILER ${ACL_TCAM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ACL_TCAM_CROSS_TRIPLE}-g++)
set(CMAKE_NM ${ACL_TCAM_CROSS_TRIPLE}-nm)
set(ACL_TCAM_CROSS_SYSROOT /usr/${ACL_TCAM_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${ACL_TCAM_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ACL_TCAM_CROSS_QEMU} -L ${ACL_TCAM_CROSS_SYSROOT})
# The host's GoogleTest is built for the host: build it again from its
# packaged sources with this compiler.
set(ACL_TCAM_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build")
set(ACL_TCAM_BUILD_BENCH OFF CACHE BOOL "" FORCE)
set(ACL_TCAM_BUILD_FUZZ OFF CACHE BOOL "" FORCE)
