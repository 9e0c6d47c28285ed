# Cross build for 64-bit ARM (Debian arm64, 64-bit Raspberry Pi OS) on a Debian 12 PC, with
# Debian's cross compiler (crossbuild-essential-arm64) and the :arm64 libraries installed beside
# the PC's own (multiarch). scripts/package.sh arm64 installs both and uses this file.
set(KDR31_CROSS_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch-cross.cmake)
