# Big-endian 64-bit target: Debian's s390x cross compiler, tests run under
# qemu-user with the cross sysroot's loader and libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ACL_TCAM_CROSS_TRIPLE s390x-linux-gnu)
set(ACL_TCAM_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
