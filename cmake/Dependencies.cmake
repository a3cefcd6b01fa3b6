find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(LOG4CXX REQUIRED IMPORTED_TARGET liblog4cxx)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(wxWidgets REQUIRED COMPONENTS xrc adv html core base)
find_package(GTest REQUIRED)

# wx's own headers do not pass our warning set; keep them out of it.
add_library(qor_wx INTERFACE)
target_include_directories(qor_wx SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(qor_wx INTERFACE ${wxWidgets_DEFINITIONS})
target_compile_options(qor_wx INTERFACE ${wxWidgets_CXX_FLAGS})
target_link_libraries(qor_wx INTERFACE ${wxWidgets_LIBRARIES})

# Register an OBJECT library of a folder as part of the wx-free core.
function(qor_core_part name)
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    set_property(GLOBAL APPEND PROPERTY QOR_CORE_PARTS ${name})
endfunction()
