# Installation and Debian packages. `cmake --install` puts both programs under the prefix with
# the client's desktop entry and icons, and the server's systemd unit and sample settings;
# `cpack` (scripts/package.sh) makes one .deb per program from the components "client" and
# "server".
include(GNUInstallDirs)

set(COLLOQ_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "Folder of the server's systemd unit, relative to the install prefix or absolute")
set(COLLOQ_PACKAGE_MAINTAINER "ColloqChat maintainers <maintainers@colloqchat.invalid>"
    CACHE STRING "Maintainer named in the Debian packages")

set(_colloq_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_colloq_icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)

set(_colloq_components)
# --- client -------------------------------------------------------------------------------------
if(COLLOQ_CLIENT)
    list(APPEND _colloq_components client)
    install(TARGETS colloqchat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
    install(TARGETS colloqchat-engine LIBRARY DESTINATION ${COLLOQ_ENGINE_INSTALL_DIR} COMPONENT client)
    install(FILES ${_colloq_pkg}/colloqchat.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
            COMPONENT client)
    install(FILES ${_colloq_pkg}/icons/colloqchat.svg DESTINATION ${_colloq_icons}/scalable/apps COMPONENT client)
    install(FILES ${_colloq_pkg}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/colloqchat-client
            COMPONENT client)

    # Bitmap icons for menus that do not draw SVG, rendered from the SVG when ImageMagick is here.
    find_program(COLLOQ_CONVERT_PROGRAM convert)
    set(COLLOQ_ICON_SIZES 48 128 256)
    if(COLLOQ_CONVERT_PROGRAM)
        set(_colloq_pngs)
        foreach(size IN LISTS COLLOQ_ICON_SIZES)
            set(png ${PROJECT_BINARY_DIR}/icons/${size}x${size}/colloqchat.png)
            # Rendered at twice the size and scaled down for smooth edges; -strip keeps dates out.
            math(EXPR density "${size} * 96 * 2 / 256")
            add_custom_command(
                OUTPUT ${png}
                COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${size}x${size}
                COMMAND ${COLLOQ_CONVERT_PROGRAM} -background none -density ${density} ${_colloq_pkg}/icons/colloqchat.svg
                        -resize ${size}x${size} -depth 8 -strip PNG32:${png}
                DEPENDS ${_colloq_pkg}/icons/colloqchat.svg
                COMMENT "Rendering the ${size}x${size} icon"
                VERBATIM)
            list(APPEND _colloq_pngs ${png})
            install(FILES ${png} DESTINATION ${_colloq_icons}/${size}x${size}/apps COMPONENT client)
        endforeach()
        add_custom_target(colloqchat_icons ALL DEPENDS ${_colloq_pngs})
        # Whoever builds the client can install it.
        add_dependencies(colloqchat colloqchat_icons)
    else()
        set(COLLOQ_ICON_SIZES)
        message(STATUS "convert (ImageMagick) not found: only the SVG icon is installed")
endif()

endif()

# --- server -------------------------------------------------------------------------------------
if(COLLOQ_SERVER)
    list(APPEND _colloq_components server)
    install(TARGETS colloqchat-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
    install(FILES ${_colloq_pkg}/colloqchat-server.conf ${_colloq_pkg}/copyright
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/colloqchat-server COMPONENT server)

    # The unit names the server by its full path, known only when installing: `cmake --install
    # --prefix` and CPack (prefix /usr) each choose their own.
    install(CODE "set(_colloq_unit_in \"${_colloq_pkg}/colloqchat-server.service.in\")
set(_colloq_unit_out \"${PROJECT_BINARY_DIR}/packaging/colloqchat-server.service\")
set(_colloq_bindir \"${CMAKE_INSTALL_BINDIR}\")
set(_colloq_unitdir \"${COLLOQ_SYSTEMD_UNIT_DIR}\")" COMPONENT server)
    install(CODE [[
if(NOT IS_ABSOLUTE "${_colloq_bindir}")
    set(_colloq_bindir "${CMAKE_INSTALL_PREFIX}/${_colloq_bindir}")
endif()
if(NOT IS_ABSOLUTE "${_colloq_unitdir}")
    set(_colloq_unitdir "${CMAKE_INSTALL_PREFIX}/${_colloq_unitdir}")
endif()
set(COLLOQ_SERVER_EXECUTABLE "${_colloq_bindir}/colloqchat-server")
configure_file("${_colloq_unit_in}" "${_colloq_unit_out}" @ONLY)
file(INSTALL DESTINATION "${_colloq_unitdir}" TYPE FILE FILES "${_colloq_unit_out}")
]] COMPONENT server)
endif()

# --- check --------------------------------------------------------------------------------------
if(_colloq_tests)
    add_test(NAME install_tests
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/check-install.sh ${PROJECT_BINARY_DIR}
                     "${COLLOQ_ICON_SIZES}")
    set_tests_properties(install_tests PROPERTIES TIMEOUT 300)
endif()

# --- Debian packages ----------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME colloqchat)
set(CPACK_PACKAGE_VENDOR "ColloqChat developers")
set(CPACK_PACKAGE_CONTACT "${COLLOQ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${_colloq_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${COLLOQ_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps; the ones below are loaded at run time instead.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME colloqchat-client)
# The ring and no-sound-card sounds the call engine plays.
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "linphone-common")
set(CPACK_DEBIAN_CLIENT_PACKAGE_SUGGESTS "colloqchat-server")
set(CPACK_COMPONENT_CLIENT_DISPLAY_NAME "ColloqChat client")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
    "video and audio chat client
Register once under a display name and an e-mail address, keep a list of
contacts with their on-line state, and place or answer SIP voice and video
calls to them. Talks to a ColloqChat chat server; a few web pages keep the
contact list alive when that server cannot be reached.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME colloqchat-server)
# Qt finds its SQL drivers as plug-ins: SQLite is the default store, PostgreSQL the shared one.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "libqt6sql6-psql, postgresql")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${_colloq_pkg}/debian/server/postinst ${_colloq_pkg}/debian/server/prerm ${_colloq_pkg}/debian/server/postrm)
set(CPACK_COMPONENT_SERVER_DISPLAY_NAME "ColloqChat chat server")
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "chat server for ColloqChat clients
Registers users, keeps their contact lists and on-line state, and serves the
web pages clients use to learn their own address and to reach an alternate
server. Stores its data in SQLite, or in PostgreSQL for several servers
sharing one store. Comes with a systemd unit (not enabled on install).")

include(CPack)
