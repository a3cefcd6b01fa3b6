# The INI profile functions: reading, writing, and their failures.
add_executable(qor_platform_profile_tests ${CMAKE_CURRENT_LIST_DIR}/ProfileFileTest.cpp)
target_link_libraries(qor_platform_profile_tests PRIVATE qor_test_logcapture qor_test_support qorcore
                                                         GTest::gtest GTest::gtest_main)
gtest_discover_tests(qor_platform_profile_tests PROPERTIES TIMEOUT 120 DISCOVERY_TIMEOUT 60)
