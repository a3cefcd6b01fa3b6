# Text codec, file-system seam, read-only file and executable path.
add_executable(qor_platform_foundation_tests
    ${CMAKE_CURRENT_LIST_DIR}/ExecutablePathTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FileSystemTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReadOnlyFileTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TextCodecTest.cpp)
target_link_libraries(qor_platform_foundation_tests PRIVATE qor_test_support qorcore GTest::gtest_main)
gtest_discover_tests(qor_platform_foundation_tests PROPERTIES TIMEOUT 60)
