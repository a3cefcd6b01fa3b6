# The proxy credentials dialog (wx).
add_library(qor_proxy_ui OBJECT ${CMAKE_CURRENT_LIST_DIR}/QorDownloaderProxy.cpp)
target_include_directories(qor_proxy_ui PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qor_proxy_ui PUBLIC qor_wx PkgConfig::LOG4CXX)
