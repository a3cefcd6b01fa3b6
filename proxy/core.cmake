# wx-free part of the proxy handling (the scrambling it uses is updclient's).
add_library(qor_proxy_core OBJECT ${CMAKE_CURRENT_LIST_DIR}/C_Proxy.cpp)
target_link_libraries(qor_proxy_core PUBLIC qor_contract PkgConfig::LOG4CXX)
qor_core_part(qor_proxy_core)
