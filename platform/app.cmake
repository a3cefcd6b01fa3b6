# Single-instance lock and run-time library loading (wx-free, in the core).
add_library(qor_platform_app OBJECT ${CMAKE_CURRENT_LIST_DIR}/InstanceLock.cpp
                                    ${CMAKE_CURRENT_LIST_DIR}/DynamicLibrary.cpp)
target_link_libraries(qor_platform_app PUBLIC ${CMAKE_DL_LIBS})
qor_core_part(qor_platform_app)
