# Install layout and the Debian package.
#
#   cmake --install build [--prefix DIR]   program and publisher in bin/,
#                                          libPelvane.so in lib/.../qordownloader/,
#                                          samples in share/qordownloader/,
#                                          systemd units, manual pages, desktop
#                                          entry, icons, catalogs
#   (cd build && cpack -G DEB)             qordownloader_<version>_<arch>.deb
#
# The program dlopens "libPelvane.so" by plain name. The library is private
# to the package, so it lives in a folder of its own that the loader does not
# search; the program carries a RUNPATH relative to its own folder, which
# holds for any --prefix given to `cmake --install` as well, and needs no
# ldconfig.

set(QOR_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/qordownloader)
set(QOR_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/qordownloader)
set(QOR_PRIVATE_LIB_DIR ${CMAKE_INSTALL_LIBDIR}/qordownloader)
set(QOR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QOR_PACKAGING_BUILD_DIR ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${QOR_PACKAGING_BUILD_DIR})

file(RELATIVE_PATH _qor_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${QOR_PRIVATE_LIB_DIR})
set(_qor_runpath "$ORIGIN/${_qor_bin_to_lib}")

set_target_properties(qordownloader PROPERTIES INSTALL_RPATH "${_qor_runpath}")
install(TARGETS qordownloader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# qor-publish carries the library's shared code itself and needs no run path
install(TARGETS qor-publish RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS Pelvane LIBRARY DESTINATION ${QOR_PRIVATE_LIB_DIR} COMPONENT runtime NAMELINK_SKIP)

install(FILES ${PROJECT_SOURCE_DIR}/resources/LogQorDownloader.xml
              ${PROJECT_SOURCE_DIR}/demo/sample/QorDownloader.ini
              ${PROJECT_SOURCE_DIR}/demo/sample/UpdInter.ini
              ${PROJECT_SOURCE_DIR}/demo/sample/README
        DESTINATION ${QOR_SHARE_DIR} COMPONENT runtime)

# systemd: units disabled until enabled, the service's user and folders.
# Debian's units and their helpers live under /usr/lib whatever the multiarch
# library folder is, so these are "lib", not CMAKE_INSTALL_LIBDIR.
install(FILES ${QOR_PACKAGING_DIR}/systemd/qordownloader.service
              ${QOR_PACKAGING_DIR}/systemd/qordownloader.timer
        DESTINATION lib/systemd/system COMPONENT runtime)
install(FILES ${QOR_PACKAGING_DIR}/systemd/user/qordownloader.service
              ${QOR_PACKAGING_DIR}/systemd/user/qordownloader.timer
        DESTINATION lib/systemd/user COMPONENT runtime)
install(FILES ${QOR_PACKAGING_DIR}/qordownloader.sysusers RENAME qordownloader.conf
        DESTINATION lib/sysusers.d COMPONENT runtime)
install(FILES ${QOR_PACKAGING_DIR}/qordownloader.tmpfiles RENAME qordownloader.conf
        DESTINATION lib/tmpfiles.d COMPONENT runtime)

# The service's settings go to /etc for a /usr install (the package), and
# under the prefix otherwise, so that a test or a user's own --prefix never
# writes to the real /etc. Decided at install time: cpack installs with its
# own prefix.
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(_qor_etc /etc/qordownloader)
    else()
        set(_qor_etc \"\${CMAKE_INSTALL_PREFIX}/etc/qordownloader\")
    endif()
    file(INSTALL
         \"${PROJECT_SOURCE_DIR}/demo/sample/QorDownloader.ini\"
         \"${PROJECT_SOURCE_DIR}/demo/sample/UpdInter.ini\"
         \"${QOR_PACKAGING_DIR}/etc/LogQorDownloader.xml\"
         DESTINATION \"\${_qor_etc}\")
" COMPONENT runtime)

# Desktop entry and the icon at three sizes of the hicolor theme.
install(FILES ${QOR_PACKAGING_DIR}/qordownloader.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/resources/ui/AppIcon128.png RENAME qordownloader.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps COMPONENT runtime)
foreach(_qor_size 48 256)
    install(FILES ${QOR_PACKAGING_DIR}/icons/qordownloader-${_qor_size}.png RENAME qordownloader.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_qor_size}x${_qor_size}/apps
            COMPONENT runtime)
endforeach()

# Manual pages, compressed at build time as Debian wants them.
find_program(QOR_GZIP gzip REQUIRED)
set(_qor_man_pages)
foreach(_qor_page qordownloader.1 qor-publish.1)
    set(_qor_page_gz ${QOR_PACKAGING_BUILD_DIR}/${_qor_page}.gz)
    add_custom_command(OUTPUT ${_qor_page_gz}
        COMMAND ${QOR_GZIP} -9 -n -c ${QOR_PACKAGING_DIR}/man/${_qor_page} > ${_qor_page_gz}
        DEPENDS ${QOR_PACKAGING_DIR}/man/${_qor_page}
        COMMENT "Compressing manual page ${_qor_page}")
    list(APPEND _qor_man_pages ${_qor_page_gz})
endforeach()
add_custom_target(qor_man_pages ALL DEPENDS ${_qor_man_pages})
install(FILES ${_qor_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)

install(FILES ${QOR_PACKAGING_DIR}/debian/lintian-overrides RENAME qordownloader
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT runtime)

# Debian wants a copyright file and a compressed changelog in the doc folder.
set(_qor_pkg_doc ${QOR_PACKAGING_BUILD_DIR}/doc)
file(MAKE_DIRECTORY ${_qor_pkg_doc})
configure_file(${QOR_PACKAGING_DIR}/debian/copyright ${_qor_pkg_doc}/copyright COPYONLY)
# (TIMESTAMP honours SOURCE_DATE_EPOCH for reproducible packages)
string(TIMESTAMP _qor_pkg_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${_qor_pkg_doc}/changelog
"qordownloader (${PROJECT_VERSION}-1) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- Velmora QorDownloader team <qordownloader@velmora.invalid>  ${_qor_pkg_date}
")
execute_process(COMMAND ${QOR_GZIP} -9 -n -f -k ${_qor_pkg_doc}/changelog)
install(FILES ${_qor_pkg_doc}/changelog.gz RENAME changelog.Debian.gz
        DESTINATION ${QOR_DOC_DIR} COMPONENT runtime)
install(FILES ${_qor_pkg_doc}/copyright DESTINATION ${QOR_DOC_DIR} COMPONENT runtime)

set(CPACK_PACKAGE_NAME qordownloader)
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fetches one update of the Orvane suite")
set(CPACK_PACKAGE_CONTACT "Velmora QorDownloader team <qordownloader@velmora.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# absolute destinations (/etc) land in the package, not on this machine
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velmora.invalid/qordownloader")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# CPack puts the summary first and indents these lines itself
set(CPACK_PACKAGE_DESCRIPTION
"QorDownloader is a small desktop tool that asks for confirmation, settles
proxy credentials, downloads one update of the Orvane software suite through
the update-client library libPelvane.so behind a progress dialog, moves it to
its destination and reports the outcome through its exit code. It also runs
unattended from a systemd timer (installed, disabled).

The package also holds qor-publish, which adds a release to an update
repository that any static web server can serve.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
# the maintainer scripts create the service's user and folders with these
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "systemd | systemd-standalone-sysusers, systemd | systemd-standalone-tmpfiles")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QOR_PACKAGING_DIR}/debian/conffiles
    ${QOR_PACKAGING_DIR}/debian/postinst
    ${QOR_PACKAGING_DIR}/debian/prerm
    ${QOR_PACKAGING_DIR}/debian/postrm)
include(CPack)
