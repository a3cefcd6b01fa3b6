# File system, text conversion and executable path stand-ins (wx-free).
target_sources(qor_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/ExecutablePath.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FileSystem.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReadOnlyFile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TextCodec.cpp)
