# The hardening that Debian's build flags give every package: checked string
# and memory functions, a stack protector, and a read-only relocation table
# bound at start-up (the program dlopens its library; nothing relies on
# lazy binding). The sanitizer build has checks of its own.
if(NOT QOR_SANITIZE)
    add_compile_options(-fstack-protector-strong
                        $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
    add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
