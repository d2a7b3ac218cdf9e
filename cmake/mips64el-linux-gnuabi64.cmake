# Cross build for the appliance: 64-bit little-endian MIPS (n64), against a
# sysroot of Debian's mips64el packages made by scripts/mips64el-sysroot.sh.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mips64el-linux-gnuabi64.cmake [-DQOR_MIPS_SYSROOT=DIR]
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips64)
set(CMAKE_LIBRARY_ARCHITECTURE mips64el-linux-gnuabi64)
set(CMAKE_C_COMPILER mips64el-linux-gnuabi64-gcc)
set(CMAKE_CXX_COMPILER mips64el-linux-gnuabi64-g++)

if(NOT QOR_MIPS_SYSROOT)
  if(DEFINED ENV{QOR_MIPS_SYSROOT})
    set(QOR_MIPS_SYSROOT "$ENV{QOR_MIPS_SYSROOT}")
  else()
    set(QOR_MIPS_SYSROOT /var/cache/qor-cross/mips64el/sysroot)
  endif()
endif()
set(QOR_MIPS_SYSROOT "${QOR_MIPS_SYSROOT}" CACHE PATH "mips64el sysroot")
# try_compile projects read the toolchain file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QOR_MIPS_SYSROOT)
if(NOT EXISTS "${QOR_MIPS_SYSROOT}/lib64/ld.so.1")
  message(FATAL_ERROR "no mips64el sysroot in ${QOR_MIPS_SYSROOT}: run scripts/mips64el-sysroot.sh")
endif()

set(CMAKE_SYSROOT "${QOR_MIPS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${QOR_MIPS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)   # pkg-config, mksquashfs: the host's
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Libraries of the sysroot name their own dependencies, which the linker must
# find in the sysroot as well.
set(_qor_rpath_link "")
foreach(dir lib/${CMAKE_LIBRARY_ARCHITECTURE} usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} usr/lib/ganesha)
  string(APPEND _qor_rpath_link " -Wl,-rpath-link,${QOR_MIPS_SYSROOT}/${dir}")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_qor_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_qor_rpath_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_qor_rpath_link}")

set(ENV{PKG_CONFIG_LIBDIR}
    "${QOR_MIPS_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:${QOR_MIPS_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${QOR_MIPS_SYSROOT}")

# Target programs run under qemu-user, at build time too (test discovery).
# binfmt_misc is not assumed: the emulator is named explicitly.
find_program(QOR_QEMU_MIPS64EL qemu-mips64el-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${QOR_QEMU_MIPS64EL};-L;${QOR_MIPS_SYSROOT}")
