# Installation: one program folder (default /opt/nabik) holding nabik and every file it finds
# beside itself, a `nabik` command on the PATH that links to it (the program follows
# /proc/self/exe to its own folder), a desktop entry and an icon. `cpack -G DEB` in the build
# folder packs the same tree into nabik_<version>_amd64.deb.
set(NABIK_LINK_DIR /usr/bin CACHE PATH "Folder of the nabik command, a link to the program")
set(NABIK_SHARE_DIR /usr/share CACHE PATH "Folder below which the desktop entry and icon go")

install(TARGETS nabik DESTINATION .)
install(FILES ${NABIK_DATA_OUTPUTS} DESTINATION .)

# A relative link, so that it also leads to the program in a tree unpacked anywhere else.
file(RELATIVE_PATH NABIK_LINK_TARGET ${NABIK_LINK_DIR} ${CMAKE_INSTALL_PREFIX}/nabik)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/link)
file(CREATE_LINK ${NABIK_LINK_TARGET} ${CMAKE_BINARY_DIR}/link/nabik SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/link/nabik DESTINATION ${NABIK_LINK_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/data/nabik.desktop DESTINATION ${NABIK_SHARE_DIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/data/nabik.svg
        DESTINATION ${NABIK_SHARE_DIR}/icons/hicolor/scalable/apps)

set(CPACK_PACKAGE_NAME nabik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Nabik developers <nabik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Converter of Japan's Fundamental Geospatial Data into shapefiles and a MapServer map")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The linked libraries come from dpkg-shlibdeps; lhasa is opened by name at run time, and Qt's
# translations give its standard dialogs their Japanese texts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "liblhasa0, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic, mapserver-bin")
include(CPack)
