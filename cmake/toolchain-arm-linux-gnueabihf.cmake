# Cross build for 32-bit ARM (Debian armhf: ARMv7 with hardware floating point, 32-bit Raspberry
# Pi OS on a Pi 2 or later) on a Debian 12 PC, with crossbuild-essential-armhf and the :armhf
# libraries (multiarch). scripts/package.sh armhf installs both and uses this file.
set(KDR31_CROSS_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch-cross.cmake)
