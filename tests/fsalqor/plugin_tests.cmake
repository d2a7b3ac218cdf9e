# The plug-in's own tests: unit tests of the pieces that need no running server,
# and its answers to the server in the real server. Every test of this folder is
# a plug-in test; the kind comes with each test.
set_property(DIRECTORY APPEND PROPERTY LABELS fsalqor)

add_executable(fsalqor_unit_pure
  ${CMAKE_CURRENT_LIST_DIR}/unit_media_path.cc
  ${CMAKE_CURRENT_LIST_DIR}/unit_wire_handle.cc)
target_link_libraries(fsalqor_unit_pure PRIVATE fsalqor_pure GTest::gtest_main)
gtest_discover_tests(fsalqor_unit_pure TEST_PREFIX "fsalqor." PROPERTIES LABELS unit)

# Attribute conversion against the server's own type conversion.
add_executable(fsalqor_unit_attributes
  ${CMAKE_CURRENT_LIST_DIR}/unit_attributes.cc
  ${PROJECT_SOURCE_DIR}/fsalqor/handle_syscalls.cc)
target_link_libraries(fsalqor_unit_attributes PRIVATE
  fsalqor_ganesha GTest::gtest_main)
target_include_directories(fsalqor_unit_attributes PRIVATE ${PROJECT_SOURCE_DIR}/qor/include)
set_target_properties(fsalqor_unit_attributes PROPERTIES
  CXX_EXTENSIONS ON BUILD_RPATH "${GANESHA_NFSD_LIBDIR}")
gtest_discover_tests(fsalqor_unit_attributes TEST_PREFIX "fsalqor." PROPERTIES LABELS unit)

# The plug-in's answers where the server itself reacts to them, in the real server.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME fsalqor_plugin_server_faults
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/plugin_server_faults.sh)
  set_tests_properties(fsalqor_plugin_server_faults PROPERTIES
    LABELS integration TIMEOUT 600
    ENVIRONMENT "NFSQ=$<TARGET_FILE:nfsq>;FSALQOR=$<TARGET_FILE:fsalqor>")
endif()
