# wx-free parts of the proxy handling. The password scrambling is its own
# library so that libPelvane.so can link just that.
add_library(qor_scrambling OBJECT ${CMAKE_CURRENT_LIST_DIR}/PasswordScrambling.cpp)
qor_core_part(qor_scrambling)

add_library(qor_proxy_core OBJECT ${CMAKE_CURRENT_LIST_DIR}/C_Proxy.cpp)
target_link_libraries(qor_proxy_core PUBLIC PkgConfig::LOG4CXX)
qor_core_part(qor_proxy_core)
