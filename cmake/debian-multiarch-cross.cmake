# The common part of the cross tool chains: KDR31_CROSS_TRIPLET names Debian's multiarch triplet.
# The target's libraries live in /usr/lib/<triplet> of this machine, so there is no separate
# root; the programs that run during the build (moc, the icon writer is not built) are the PC's.
set(CMAKE_SYSTEM_NAME Linux)
if(KDR31_CROSS_TRIPLET MATCHES "^aarch64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
else()
  set(CMAKE_SYSTEM_PROCESSOR arm)
endif()
set(CMAKE_C_COMPILER ${KDR31_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KDR31_CROSS_TRIPLET}-g++)
# find_library, find_path and find_package look in /usr/lib/<triplet> and nowhere else for
# libraries: never the PC's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${KDR31_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Qt's host tools (moc) come from the PC's Qt of the same version.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
# pkg-config (libmosquitto) reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KDR31_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Under qemu-user, for try_run and the cross tests.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR}-static)
