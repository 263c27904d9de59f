# Installation as a desktop application, and the Debian package built from it by CPack.
include(GNUInstallDirs)

set(RECVHTML_APP_ID io.github.recvhtml.RecvHtml)

install(TARGETS recv-html RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# recv-html looks for it in ../libexec/recv-html/ from its own folder.
install(TARGETS recv-html-proxy RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/recv-html)
install(FILES data/${RECVHTML_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${RECVHTML_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES data/${RECVHTML_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME recv-html)
set(CPACK_PACKAGE_VENDOR "The recv-html developers")
set(CPACK_PACKAGE_CONTACT "The recv-html developers <recv-html@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read web pages, Japanese ones above all, as plain text")
set(CPACK_PACKAGE_DESCRIPTION
    "recv-html downloads a web page, recognises its Japanese encoding (Shift_JIS, EUC-JP, \
ISO-2022-JP, UTF-8, UTF-16) by itself and shows the page as text, with its markup or with the \
tags, scripts and style sheets removed.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
# The libraries the programs link decide most of the dependencies. Packages no linked library
# names: the window's Japanese face; the certificate store that libcurl checks https servers
# against (libcurl only recommends it, and a minimal machine installs no recommendations);
# libproxy's plugins that read GNOME's proxy settings and run PAC files, without which a desktop
# behind a proxy gets nothing. KDE's is only recommended: most desktops are not KDE.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "fonts-ipafont-gothic, ca-certificates, libproxy1-plugin-gsettings, libproxy1-plugin-webkit")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libproxy1-plugin-kconfig")
include(CPack)
