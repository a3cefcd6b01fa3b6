# The single-instance lock (wx-free).
add_executable(instance_lock_tests ${CMAKE_CURRENT_LIST_DIR}/InstanceLockTest.cpp)
target_link_libraries(instance_lock_tests PRIVATE qorcore GTest::gtest GTest::gtest_main)
gtest_discover_tests(instance_lock_tests PROPERTIES TIMEOUT 30 DISCOVERY_TIMEOUT 60)
