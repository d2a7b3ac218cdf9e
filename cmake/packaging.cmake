# Debian packages, one per deliverable, for the architecture being built:
#   trelk            the launcher, qor-mkmedium and the appliance's service:
#                    qor-appliance.service, its configuration in /etc/qor
#   nfs-ganesha-qor  libfsalqor.so in the server's plug-in directory
# `cpack` in a build directory makes them (scripts/make-packages.sh: both architectures).
# Files of the packages that are not built live in packaging/.
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_gen ${CMAKE_BINARY_DIR}/packaging)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${_pkg}/changelog ${_pkg}/trelk.8 ${_pkg}/qor-mkmedium.8 ${_pkg}/ganesha-qor-config.8
  ${PROJECT_SOURCE_DIR}/examples/ganesha.conf)

# The changelog's latest entry is the packages' version.
file(STRINGS ${_pkg}/changelog _latest LIMIT_COUNT 1)
if(NOT _latest MATCHES "^trelk \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the latest entry is not version ${PROJECT_VERSION}")
endif()

# Compressed as dh_installman and dh_installchangelogs do.
function(qor_gzip src dest)
  execute_process(COMMAND gzip -9nc ${src} OUTPUT_FILE ${dest} COMMAND_ERROR_IS_FATAL ANY)
endfunction()
file(MAKE_DIRECTORY ${_gen})
qor_gzip(${_pkg}/trelk.8 ${_gen}/trelk.8.gz)
qor_gzip(${_pkg}/qor-mkmedium.8 ${_gen}/qor-mkmedium.8.gz)
qor_gzip(${_pkg}/ganesha-qor-config.8 ${_gen}/ganesha-qor-config.8.gz)
qor_gzip(${_pkg}/changelog ${_gen}/changelog.gz)

# The server's configuration names the plug-in directory of the packages' architecture.
file(READ ${PROJECT_SOURCE_DIR}/examples/ganesha.conf _qor_conf)
string(REPLACE "/usr/lib/x86_64-linux-gnu/ganesha" "/usr/${QOR_PLUGIN_DIR}" _qor_conf "${_qor_conf}")
file(WRITE ${_gen}/ganesha.conf "${_qor_conf}")

set(_doc ${CMAKE_INSTALL_DATADIR}/doc)
install(FILES ${PROJECT_SOURCE_DIR}/examples/trelk.json ${_gen}/ganesha.conf DESTINATION /etc/qor COMPONENT trelk)
install(FILES ${_pkg}/qor-appliance.service DESTINATION /lib/systemd/system COMPONENT trelk)
install(PROGRAMS ${_pkg}/qor-appliance ${PROJECT_SOURCE_DIR}/examples/make-root.sh
        ${PROJECT_SOURCE_DIR}/examples/container-entry.sh
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/trelk COMPONENT trelk)
install(FILES ${_gen}/trelk.8.gz ${_gen}/qor-mkmedium.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT trelk)
install(FILES ${_pkg}/br-qor.netdev ${_pkg}/br-qor.network DESTINATION ${_doc}/trelk/examples COMPONENT trelk)
install(FILES ${_gen}/ganesha-qor-config.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT plugin)
install(FILES ${_pkg}/nfs-ganesha-qor.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME nfs-ganesha-qor COMPONENT plugin)
foreach(c IN ITEMS trelk plugin)
  set(_name ${c})
  if(c STREQUAL plugin)
    set(_name nfs-ganesha-qor)
  endif()
  install(FILES ${_pkg}/copyright ${_gen}/changelog.gz DESTINATION ${_doc}/${_name} COMPONENT ${c})
endforeach()

# The service's maintainer scripts do what dh_installsystemd does for a unit
# that is neither enabled nor started on installation.
file(WRITE ${_gen}/conffiles "/etc/qor/ganesha.conf\n/etc/qor/trelk.json\n")
set(CPACK_DEBIAN_TRELK_PACKAGE_CONTROL_EXTRA
    ${_gen}/conffiles ${_pkg}/postinst ${_pkg}/prerm ${_pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL trelk plugin)
set(CPACK_PACKAGE_NAME trelk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Backup appliance team <appliance@qor-backup.org>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QOR_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_TRELK_PACKAGE_NAME trelk)
set(CPACK_COMPONENT_TRELK_DESCRIPTION "container launcher and service of the backup appliance
trelk runs a command as the first process of new mount, UTS, IPC, PID and
network namespaces inside a configured root. The package also holds
qor-mkmedium, which makes backup media, and qor-appliance.service, which
runs the appliance: the NFS server with the QOR plug-in in a container,
configured in /etc/qor.")
set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME nfs-ganesha-qor)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_SECTION net)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "NFS-Ganesha plug-in QOR: backup media over NFS
The server's FSAL module QOR, which exports the contents of backup
media (SquashFS images) read-only.")

# Depends: worked out at packaging time from the built objects and the shlibs
# files of the libraries they need (the build machine's, or the sysroot's).
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
