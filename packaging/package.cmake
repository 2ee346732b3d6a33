# A Debian package of the window, the command-line program, the desktop
# entry, the icon and the manual page: cpack in the build directory writes
# swtxupdater_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME swtxupdater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_CONTACT "Orvane <support@orvane.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Skyweave Transmitter Update Tool")
set(CPACK_PACKAGE_DESCRIPTION
    "Loads firmware into Skyweave transmitters over the local network by TFTP.\n\
The window (swtxupdater) picks the firmware folder, the network interface and\n\
the transmitter; the command-line program (swtxupdate) does the same update\n\
for scripts, for several transmitters in parallel.")
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

include(CPack)
