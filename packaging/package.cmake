# A Debian package of the window, the command-line program, the desktop
# entry, the icon, the manual page and the Ansible collection orvane.swtx:
# cpack in the build directory writes swtxupdater_<version>_<arch>.deb.
include(GNUInstallDirs)

# The collection goes where Debian's ansible-core looks for collections.
set(SWTX_COLLECTION ${CMAKE_CURRENT_LIST_DIR}/ansible/ansible_collections/orvane/swtx)
# Collections are versioned major.minor.patch: the version's first three parts.
set(SWTX_COLLECTION_EXPECTED "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
file(STRINGS ${SWTX_COLLECTION}/galaxy.yml SWTX_COLLECTION_VERSION REGEX "^version:")
if(NOT SWTX_COLLECTION_VERSION STREQUAL "version: ${SWTX_COLLECTION_EXPECTED}")
    message(FATAL_ERROR "${SWTX_COLLECTION}/galaxy.yml has ${SWTX_COLLECTION_VERSION}, the project ${SWTX_COLLECTION_EXPECTED}")
endif()
install(DIRECTORY ${SWTX_COLLECTION}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ansible/collections/ansible_collections/orvane)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME swtxupdater)
set(CPACK_PACKAGE_VERSION ${SWTX_VERSION})
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_CONTACT "Orvane <support@orvane.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Skyweave Transmitter Update Tool")
set(CPACK_PACKAGE_DESCRIPTION
    "Loads firmware into Skyweave transmitters over the local network by TFTP.\n\
The window (swtxupdater) picks the firmware folder, the network interface and\n\
the transmitter; the command-line program (swtxupdate) does the same update\n\
for scripts, for several transmitters in parallel. The Ansible collection\n\
orvane.swtx runs swtxupdate at every site of a fleet.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orvane.com")
# The libraries come from the binaries (dpkg-shlibdeps, from dpkg-dev); the
# QML modules the window loads at run time are invisible to it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-templates, \
qml6-module-qtquick-dialogs, qml6-module-qtquick-layouts, qml6-module-qtquick-window, \
qml6-module-qtqml-workerscript, qml6-module-qt-labs-folderlistmodel")
# Native file dialogs and look on GTK desktops.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-gtk-platformtheme)
# The collection is for the machine that runs ansible-core; the hosts it
# manages need this package and Python 3.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS ansible-core)

include(CPack)
