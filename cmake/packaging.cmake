# Debian packages, one per deliverable, for the architecture being built:
#   trelk            the launcher, qor-mkmedium, the examples in /usr/share/trelk/examples
#   nfs-ganesha-qor  libfsalqor.so in the server's plug-in directory
# `cpack` in a build directory makes them (scripts/make-packages.sh: both architectures).

# The examples name the plug-in directory of the packages' architecture.
file(READ ${PROJECT_SOURCE_DIR}/examples/ganesha.conf _qor_conf)
string(REPLACE "/usr/lib/x86_64-linux-gnu/ganesha" "/usr/${QOR_PLUGIN_DIR}" _qor_conf "${_qor_conf}")
file(WRITE ${CMAKE_BINARY_DIR}/examples/ganesha.conf "${_qor_conf}")
set(QOR_EXAMPLES_DIR ${CMAKE_INSTALL_DATADIR}/trelk/examples)
install(FILES ${CMAKE_BINARY_DIR}/examples/ganesha.conf ${PROJECT_SOURCE_DIR}/examples/trelk.json
        DESTINATION ${QOR_EXAMPLES_DIR} COMPONENT trelk)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/make-root.sh ${PROJECT_SOURCE_DIR}/examples/container-entry.sh
        DESTINATION ${QOR_EXAMPLES_DIR} COMPONENT trelk)

find_program(DPKG_ARCHITECTURE dpkg-architecture REQUIRED)
execute_process(COMMAND ${DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                OUTPUT_VARIABLE QOR_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                COMMAND_ERROR_IS_FATAL ANY)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL trelk plugin)
set(CPACK_PACKAGE_NAME trelk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Backup appliance team <root@localhost>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QOR_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TRELK_PACKAGE_NAME trelk)
set(CPACK_COMPONENT_TRELK_DESCRIPTION "container launcher of the backup appliance
trelk runs a command as the first process of new mount, UTS, IPC, PID and
network namespaces inside a configured root. The package also holds
qor-mkmedium, which makes backup media, and example configurations.")
set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME nfs-ganesha-qor)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_SECTION net)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "NFS-Ganesha plug-in QOR: backup media over NFS
The server's FSAL module QOR, which exports the contents of backup
media (SquashFS images) read-only.")

# Depends: worked out at packaging time from the built objects and the shlibs
# files of the libraries they need (the build machine's, or the sysroot's).
# The plug-in uses the server's internal interface: exactly the server it was
# built against.
if(CMAKE_SYSROOT)
  set(QOR_DEB_ROOT ${CMAKE_SYSROOT})
else()
  set(QOR_DEB_ROOT /)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack-depends.cmake.in ${CMAKE_BINARY_DIR}/cpack-depends.cmake.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/cpack-depends.cmake INPUT ${CMAKE_BINARY_DIR}/cpack-depends.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack-depends.cmake)

include(CPack)
cpack_add_component(trelk DISPLAY_NAME trelk)
cpack_add_component(plugin DISPLAY_NAME nfs-ganesha-qor)
