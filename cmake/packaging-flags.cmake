# The hardening flags Debian builds its packages with (dpkg-buildflags for the
# architecture being built): stack protector, fortified C library calls,
# format checks, read-only relocations bound at start ("hardening=+all").
# The optimisation and debug flags stay the build type's. A sanitizer build
# keeps its own instrumentation only.
find_program(DPKG_ARCHITECTURE dpkg-architecture REQUIRED)
execute_process(COMMAND ${DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                OUTPUT_VARIABLE QOR_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                COMMAND_ERROR_IS_FATAL ANY)
if(QOR_SANITIZE)
  return()
endif()
find_program(DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${QOR_DEB_ARCH}
                          DEB_BUILD_MAINT_OPTIONS=hardening=+all ${DPKG_BUILDFLAGS} --get ${kind}
                  OUTPUT_VARIABLE _flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(_flags UNIX_COMMAND "${_flags}")
  list(FILTER _flags EXCLUDE REGEX "^-(O[0-9s]?|g|ffile-prefix-map=.*)$")
  set(QOR_DEB_${kind} ${_flags})
endforeach()
add_compile_options(${QOR_DEB_CPPFLAGS} ${QOR_DEB_CXXFLAGS})
add_link_options(${QOR_DEB_LDFLAGS})
