# wx stand-ins: message boxes, worker threads and calls onto the UI thread.
add_library(qor_platform_ui STATIC MessageBox.cpp UiThreadCall.cpp WorkerThread.cpp)
target_include_directories(qor_platform_ui PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qor_platform_ui PUBLIC qor_wx qorcore Threads::Threads)
