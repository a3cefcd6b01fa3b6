# The program's catalogs: po/<language>.po compiled by msgfmt into
# <build>/share/locale/<language>/LC_MESSAGES/qordownloader.mo, where the
# program in <build>/bin finds them (share/locale beside its bin/ folder, as
# in an install), and installed under share/locale.
find_program(QOR_MSGFMT msgfmt REQUIRED)
file(GLOB _qor_po_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/po/*.po)
set(QOR_BUILD_LOCALE_DIR ${CMAKE_BINARY_DIR}/share/locale)
set(_qor_mo_files)
foreach(_qor_po ${_qor_po_files})
    get_filename_component(_qor_language ${_qor_po} NAME_WE)
    set(_qor_mo ${QOR_BUILD_LOCALE_DIR}/${_qor_language}/LC_MESSAGES/qordownloader.mo)
    add_custom_command(OUTPUT ${_qor_mo}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${QOR_BUILD_LOCALE_DIR}/${_qor_language}/LC_MESSAGES
        COMMAND ${QOR_MSGFMT} --check -o ${_qor_mo} ${_qor_po}
        DEPENDS ${_qor_po}
        COMMENT "Compiling the ${_qor_language} catalog")
    list(APPEND _qor_mo_files ${_qor_mo})
    install(FILES ${_qor_mo} DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${_qor_language}/LC_MESSAGES
            COMPONENT runtime)
endforeach()
add_custom_target(qor_catalogs ALL DEPENDS ${_qor_mo_files})
