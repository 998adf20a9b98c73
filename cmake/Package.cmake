# A Debian package of this build: `make package`, or `cpack -G DEB` in the
# build folder. It holds what `cmake --install --prefix /usr` installs (the
# autostart entry under /etc/xdg), with the man pages and the changelog
# compressed as Debian has them (cmake/PackageStage.cmake) and the binaries
# stripped. The libraries it needs are found by dpkg-shlibdeps (dpkg-dev).
# The release, the tag and the package are described in docs/packaging.md.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tact)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The tact developers")
set(CPACK_PACKAGE_CONTACT "The tact developers <tact@vostrabaxworks.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver for USB infrared multi-touch frames")
set(CPACK_PACKAGE_DESCRIPTION
    "tact makes an infrared multi-touch frame (USB vendor 0x23C9) in front of a
display work as the desktop's own input: one finger moves the pointer, clicks
and drags; two fingers right-click, scroll with momentum and zoom; three, four
and five fingers swipe and pinch to switch workspaces, show all windows or the
launcher, and go back and forward.
.
It contains the agent, which runs as a user service of the desktop session, a
calibrator, a touch painter, the settings program, the tools tactreplay and
tactrecord, the udev rule that gives the logged-in user access to the frame and
to /dev/uinput, and tactdoctor, which tells what is missing.")
set(CPACK_OUTPUT_FILE_PREFIX packages)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageStage.cmake)
# For PackageStage.cmake: the changelog it writes in Debian's form.
set(CPACK_TACT_CHANGELOG ${CMAKE_SOURCE_DIR}/CHANGELOG.md)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries come from dpkg-shlibdeps. The user service wants a systemd
# user manager, the rule udev (and logind for its uaccess tag), the programs a
# session bus; every desktop has them, and the programs run without them (the
# replay and record tools, tactdoctor to say what is missing), so they are
# recommended, not required.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd, udev, dbus-user-session | dbus-x11")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The autostart entry is configuration: an edited copy survives an upgrade.
file(WRITE ${CMAKE_BINARY_DIR}/package/conffiles "/etc/xdg/autostart/tactagent.desktop\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/conffiles)

include(CPack)
