# File system, text conversion and executable path stand-ins (wx-free).
target_sources(qor_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/ExecutablePath.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FileSystem.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReadOnlyFile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TextCodec.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UserFolders.cpp)

# The system-call seam and the one file-replacement routine. A static
# library of its own, so that the core, libPelvane.so and qor-publish each
# take it in without duplicating it.
add_library(qor_platform_files STATIC ${CMAKE_CURRENT_LIST_DIR}/SystemCalls.cpp
                                      ${CMAKE_CURRENT_LIST_DIR}/AtomicFile.cpp)
target_include_directories(qor_platform_files PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qor_platform PUBLIC qor_platform_files)
