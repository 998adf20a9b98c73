# Installation: `cmake --install build [--prefix DIR]` (or `make install`).
#
#   bin/                          the programs
#   lib/tact/panes/               the settings pane; tactprefs looks in
#                                 ../lib/tact/panes next to itself
#   lib/udev/rules.d/70-tact.rules   access to the frame and /dev/uinput
#   lib/modules-load.d/tact.conf     loads uinput at boot
#   lib/systemd/user/tactagent.service   the agent as a user service
#   share/applications/           desktop entries of the three windowed programs
#   share/tact/applications.table the agent's table of browsers and viewers;
#                                 it looks in ../share/tact next to itself
#   share/man/man1/, man5/        a man page for each program, tact-session(5)
#   share/metainfo/               AppStream metainfo of the windowed programs
#   share/doc/tact/               README.md, CHANGELOG.md, copyright, docs/
#   etc/xdg/autostart/tactagent.desktop   starts the agent on desktops without
#                                 graphical-session.target; /etc/xdg/autostart
#                                 for the prefix /usr
#
# Files that name where the programs are (the service, the desktop entries,
# the man pages) are filled in when they are installed, not when the build is
# configured, so `--prefix` at install time and DESTDIR both give the right
# paths. Every piece is guarded by its target, so a build without the
# painter or the settings still installs the rest.

get_filename_component(TACT_DATA_DIR ${CMAKE_CURRENT_LIST_DIR}/../data ABSOLUTE)

# Where tactprefs looks for panes, relative to the prefix. Not the
# architecture's libdir: the host looks for exactly this folder.
set(TACT_PANE_DESTINATION lib/tact/panes)

# Programs with a man page, and those of them with a window.
set(TACT_INSTALLED_PROGRAMS tactagent tactreplay tactrecord tactdoctor tactcalib tactpaint tactprefs)
set(TACT_DESKTOP_PROGRAMS tactcalib tactpaint tactprefs)

foreach(program IN LISTS TACT_INSTALLED_PROGRAMS)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION bin)
    endif()
endforeach()

# The settings pane plug-in. (Installing a file twice, should the pane's own
# folder install it too, only reports it as up to date.)
foreach(pane IN ITEMS Tactpane tactpane)
    if(TARGET ${pane})
        get_target_property(type ${pane} TYPE)
        if(type STREQUAL "MODULE_LIBRARY" OR type STREQUAL "SHARED_LIBRARY")
            install(TARGETS ${pane} LIBRARY DESTINATION ${TACT_PANE_DESTINATION})
        endif()
    endif()
endforeach()

# Permissions: the rule and the module list are the same for every prefix.
install(FILES ${TACT_DATA_DIR}/udev/70-tact.rules DESTINATION lib/udev/rules.d)
install(FILES ${TACT_DATA_DIR}/modules-load/tact.conf DESTINATION lib/modules-load.d)

# tact_install_configured(SOURCE DESTINATION): installs SOURCE (a .in file)
# into DESTINATION under the prefix, with @TACT_PREFIX@, @TACT_BINDIR@,
# @TACT_DOCDIR@, @TACT_SYSCONFDIR@, @TACT_VERSION@ and @TACT_DATE@ (the release
# date) replaced by the values of this installation. A DESTINATION under etc/
# is in TACT_SYSCONFDIR: the system's /etc for the prefix /usr, as packages
# have it, PREFIX/etc otherwise. The filled-in copy is made in
# a temporary folder, so nothing is written into the build tree (which
# `sudo make install` would leave owned by root).
function(tact_install_configured source destination)
    get_filename_component(name ${source} NAME)
    string(REGEX REPLACE "\\.in$" "" name ${name})
    install(CODE "
        string(RANDOM LENGTH 12 tact_stamp)
        set(tact_stage \"\$ENV{TMPDIR}\")
        if(NOT tact_stage)
            set(tact_stage /tmp)
        endif()
        set(tact_stage \"\${tact_stage}/tact-install-\${tact_stamp}\")
        set(TACT_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
        set(TACT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
        set(TACT_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/share/doc/tact\")
        set(TACT_VERSION \"${PROJECT_VERSION}\")
        set(TACT_DATE \"${TACT_RELEASE_DATE}\")
        set(TACT_SYSCONFDIR \"\${CMAKE_INSTALL_PREFIX}/etc\")
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            set(TACT_SYSCONFDIR /etc)
        endif()
        set(tact_destination \"\${CMAKE_INSTALL_PREFIX}/${destination}\")
        if(\"${destination}\" MATCHES \"^etc/\")
            string(REGEX REPLACE \"^etc\" \"\${TACT_SYSCONFDIR}\" tact_destination \"${destination}\")
        endif()
        configure_file(\"${source}\" \"\${tact_stage}/${name}\" @ONLY)
        file(INSTALL DESTINATION \"\${tact_destination}\"
             TYPE FILE FILES \"\${tact_stage}/${name}\")
        file(REMOVE_RECURSE \"\${tact_stage}\")
    ")
endfunction()

if(TARGET tactagent)
    tact_install_configured(${TACT_DATA_DIR}/systemd/tactagent.service.in lib/systemd/user)
    tact_install_configured(${TACT_DATA_DIR}/autostart/tactagent.desktop.in etc/xdg/autostart)
    install(FILES ${TACT_DATA_DIR}/tact/applications.table DESTINATION share/tact)
endif()

foreach(program IN LISTS TACT_DESKTOP_PROGRAMS)
    if(TARGET ${program})
        tact_install_configured(${TACT_DATA_DIR}/applications/${program}.desktop.in
                                share/applications)
        tact_install_configured(
            ${TACT_DATA_DIR}/metainfo/com.vostrabaxworks.${program}.metainfo.xml.in share/metainfo)
    endif()
endforeach()

foreach(program IN LISTS TACT_INSTALLED_PROGRAMS)
    if(TARGET ${program})
        tact_install_configured(${TACT_DATA_DIR}/man/${program}.1.in share/man/man1)
    endif()
endforeach()
if(TARGET tactreplay OR TARGET tactrecord)
    tact_install_configured(${TACT_DATA_DIR}/man/tact-session.5.in share/man/man5)
endif()

# The user's documentation; the README's links into docs/ hold there too.
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/CHANGELOG.md
              ${TACT_DATA_DIR}/doc/copyright
        DESTINATION share/doc/tact)
file(GLOB TACT_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${TACT_DOCS} DESTINATION share/doc/tact/docs)
