# High warning level for our own code; third-party headers are SYSTEM includes.
add_compile_options(-Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
                    -Wnon-virtual-dtor -Wold-style-cast -Wnull-dereference)
