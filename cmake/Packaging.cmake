# Install layout and the Debian package.
#
#   cmake --install build [--prefix DIR]   program and publisher in bin/,
#                                          libPelvane.so in the library folder,
#                                          samples in share/qordownloader/
#   (cd build && cpack -G DEB)             qordownloader_<version>_<arch>.deb
#
# The program dlopens "libPelvane.so" by plain name; outside /usr the
# library folder is not on the loader's default path, so the installed
# program carries a RUNPATH relative to its own folder, which holds for any
# --prefix given to `cmake --install` as well.

set(QOR_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/qordownloader)
set(QOR_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/qordownloader)

file(RELATIVE_PATH _qor_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set(_qor_runpath "$ORIGIN/${_qor_bin_to_lib}")

set_target_properties(qordownloader PROPERTIES INSTALL_RPATH "${_qor_runpath}")
install(TARGETS qordownloader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS qor-publish RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS Pelvane LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                        NAMELINK_SKIP)

install(FILES ${PROJECT_SOURCE_DIR}/resources/LogQorDownloader.xml
              ${PROJECT_SOURCE_DIR}/demo/sample/QorDownloader.ini
              ${PROJECT_SOURCE_DIR}/demo/sample/UpdInter.ini
              ${PROJECT_SOURCE_DIR}/demo/sample/README
        DESTINATION ${QOR_SHARE_DIR} COMPONENT runtime)

# Debian wants a copyright file and a compressed changelog in the doc folder.
set(_qor_pkg_doc ${CMAKE_BINARY_DIR}/packaging/doc)
file(MAKE_DIRECTORY ${_qor_pkg_doc})
file(WRITE ${_qor_pkg_doc}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: QorDownloader
Upstream-Contact: Velmora QorDownloader team <qordownloader@velmora.invalid>

Files: *
Copyright: 2026 Velmora
License: Velmora
 Proprietary software of Velmora; redistribution only as agreed with Velmora.
")
string(TIMESTAMP _qor_pkg_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${_qor_pkg_doc}/changelog
"qordownloader (${PROJECT_VERSION}-1) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- Velmora QorDownloader team <qordownloader@velmora.invalid>  ${_qor_pkg_date}
")
find_program(QOR_GZIP gzip)
if(QOR_GZIP)
    execute_process(COMMAND ${QOR_GZIP} -9 -n -f -k ${_qor_pkg_doc}/changelog)
    install(FILES ${_qor_pkg_doc}/changelog.gz RENAME changelog.Debian.gz
            DESTINATION ${QOR_DOC_DIR} COMPONENT runtime)
endif()
install(FILES ${_qor_pkg_doc}/copyright DESTINATION ${QOR_DOC_DIR} COMPONENT runtime)

set(CPACK_PACKAGE_NAME qordownloader)
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fetches one update of the Orvane suite")
set(CPACK_PACKAGE_CONTACT "Velmora QorDownloader team <qordownloader@velmora.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
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
its destination and reports the outcome through its exit code.

The package also holds qor-publish, which adds a release to an update
repository that any static web server can serve.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# qor-publish or the program may link our own libPelvane.so
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# libPelvane.so lands in a folder of the loader's cache
file(WRITE ${CMAKE_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/triggers)
include(CPack)
