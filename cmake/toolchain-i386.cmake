# 32-bit little-endian target: Debian's i686 cross compiler, tests run under
# qemu-user (the build machine's kernel may not run 32-bit binaries itself).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ACL_TCAM_CROSS_TRIPLE i686-linux-gnu)
set(ACL_TCAM_CROSS_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
