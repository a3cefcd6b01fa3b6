# Stand-ins for the Windows profile functions and the registry's proxy
# settings, used by the configuration store and proxy discovery. The proxy
# settings stand alone so that libPelvane.so can share them.
add_library(qor_platform_config OBJECT ${CMAKE_CURRENT_LIST_DIR}/ProfileFile.cpp)
qor_core_part(qor_platform_config)

add_library(qor_platform_proxy OBJECT ${CMAKE_CURRENT_LIST_DIR}/ProxySettings.cpp)
target_link_libraries(qor_platform_proxy PUBLIC PkgConfig::GIO)
qor_core_part(qor_platform_proxy)
