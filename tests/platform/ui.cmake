# Message boxes, worker threads and calls onto the UI thread, on a real X
# display (ctest runs under xvfb-run).
add_executable(qor_platform_ui_tests ${CMAKE_CURRENT_LIST_DIR}/PlatformUiTest.cpp)
target_link_libraries(qor_platform_ui_tests PRIVATE qor_platform_ui qor_test_gui qorcore qor_wx
                                                    GTest::gtest)
gtest_discover_tests(qor_platform_ui_tests PROPERTIES TIMEOUT 60 DISCOVERY_TIMEOUT 60)
