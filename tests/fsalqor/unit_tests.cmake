# Unit tests of the plug-in's pieces that need no running server. Every test of
# this folder is a plug-in test; the kind comes with each test.
set_property(DIRECTORY APPEND PROPERTY LABELS fsalqor)

add_executable(fsalqor_unit_pure
  ${CMAKE_CURRENT_LIST_DIR}/unit_media_path.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit_wire_handle.cpp)
target_link_libraries(fsalqor_unit_pure PRIVATE fsalqor_pure GTest::gtest_main)
gtest_discover_tests(fsalqor_unit_pure TEST_PREFIX "fsalqor." PROPERTIES LABELS unit)

# Attribute conversion against the server's own type conversion.
add_executable(fsalqor_unit_attributes
  ${CMAKE_CURRENT_LIST_DIR}/unit_attributes.cpp
  ${PROJECT_SOURCE_DIR}/fsalqor/handle_syscalls.cpp)
target_link_libraries(fsalqor_unit_attributes PRIVATE
  fsalqor_ganesha GTest::gtest_main)
target_include_directories(fsalqor_unit_attributes PRIVATE ${PROJECT_SOURCE_DIR}/qor/include)
set_target_properties(fsalqor_unit_attributes PROPERTIES
  CXX_EXTENSIONS ON BUILD_RPATH "${GANESHA_NFSD_LIBDIR}")
gtest_discover_tests(fsalqor_unit_attributes TEST_PREFIX "fsalqor." PROPERTIES LABELS unit)
