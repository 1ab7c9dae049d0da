# Install rules and the Debian packages built by `make package`: the program, its menu entry, icons, AppStream
# metadata, manual page, the service and its examples, and the files Debian policy asks for.
include(GNUInstallDirs)

set(PATROL_APP_ID "example.patrol_lamp.PatrolLamp" CACHE STRING "Reverse-DNS id of the desktop entry and metadata")
set(PATROL_HOMEPAGE "https://patrol-lamp.example/" CACHE STRING "Home page, with a trailing slash")
set(PATROL_MAINTAINER "patrol-lamp maintainers <maintainers@patrol-lamp.example>" CACHE STRING "Package maintainer")

# The window names its desktop entry, so the desktop can match the two.
target_compile_definitions(patrol_ui PRIVATE PATROL_APP_ID="${PATROL_APP_ID}")

set(patrol_pkg_src ${CMAKE_SOURCE_DIR}/packaging)
set(patrol_pkg_out ${CMAKE_BINARY_DIR}/packaging)
set(patrol_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/patrol-lamp)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

configure_file(${patrol_pkg_src}/app.desktop.in ${patrol_pkg_out}/${PATROL_APP_ID}.desktop @ONLY)
configure_file(${patrol_pkg_src}/app.metainfo.xml.in ${patrol_pkg_out}/${PATROL_APP_ID}.metainfo.xml @ONLY)
configure_file(${patrol_pkg_src}/copyright ${patrol_pkg_out}/copyright @ONLY)
configure_file(${patrol_pkg_src}/changelog.in ${patrol_pkg_out}/changelog @ONLY)

# Debian wants the manual and the changelog compressed, without a time stamp in the gzip header.
foreach(pair "${patrol_pkg_src}/patrol-lamp.1|patrol-lamp.1.gz" "${patrol_pkg_out}/changelog|changelog.gz")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    add_custom_command(OUTPUT ${patrol_pkg_out}/${to}
        COMMAND gzip -9nc ${from} > ${patrol_pkg_out}/${to}
        DEPENDS ${from} VERBATIM)
    list(APPEND patrol_pkg_generated ${patrol_pkg_out}/${to})
endforeach()
add_custom_target(patrol_package_files ALL DEPENDS ${patrol_pkg_generated})

# Two packages: patrol-lamp-headless holds the server command, its service and examples, and needs no display
# library; patrol-lamp adds the window and depends on it.
install(TARGETS patrol-lamp-headless RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT headless)
install(FILES ${patrol_pkg_out}/patrol-lamp.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    RENAME patrol-lamp-headless.1.gz COMPONENT headless)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/systemd/patrol-lamp-exporter.service
    DESTINATION lib/systemd/system COMPONENT headless)
set(patrol_headless_doc ${CMAKE_INSTALL_DATADIR}/doc/patrol-lamp-headless)
install(FILES ${patrol_pkg_out}/copyright ${patrol_pkg_out}/changelog.gz DESTINATION ${patrol_headless_doc}
    COMPONENT headless)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/systemd/patrol-lamp.default
    DESTINATION ${patrol_headless_doc}/examples/default RENAME patrol-lamp COMPONENT headless)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/prometheus/patrol-rules.yml ${CMAKE_SOURCE_DIR}/deploy/prometheus/prometheus.yml
    DESTINATION ${patrol_headless_doc}/examples/prometheus COMPONENT headless)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/alertmanager/alertmanager.yml
    DESTINATION ${patrol_headless_doc}/examples/alertmanager COMPONENT headless)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/grafana/patrol-lamp.json
    DESTINATION ${patrol_headless_doc}/examples/grafana COMPONENT headless)

install(TARGETS patrol-lamp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
install(FILES ${patrol_pkg_out}/${PATROL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
    COMPONENT gui)
install(FILES ${patrol_pkg_out}/${PATROL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
    COMPONENT gui)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${patrol_pkg_src}/icons/${size}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME ${PATROL_APP_ID}.png
        COMPONENT gui)
endforeach()
install(FILES ${patrol_pkg_src}/icons/scalable.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME ${PATROL_APP_ID}.svg COMPONENT gui)
install(FILES ${patrol_pkg_out}/patrol-lamp.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
install(FILES ${patrol_pkg_out}/copyright ${patrol_pkg_out}/changelog.gz DESTINATION ${patrol_doc_dir}
    COMPONENT gui)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL headless gui)
set(CPACK_PACKAGE_NAME patrol-lamp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Each description's first line is its package's synopsis.
set(patrol_pkg_about "岚澈·巡更灯 checks a list of web sites, from a handful up to tens
of thousands of addresses, again and again, and keeps the sites that
cannot be reached in a list of their own. Each site is judged by its
HTTP status code and, optionally, by texts that must or must not occur
in its page.")
set(CPACK_DEBIAN_GUI_PACKAGE_NAME patrol-lamp)
set(CPACK_DEBIAN_GUI_DESCRIPTION "keep watching whether a list of web sites can be reached
${patrol_pkg_about} This package holds the desktop window; the same
monitoring runs without a window from the command line
(patrol-lamp --headless).")
set(CPACK_DEBIAN_HEADLESS_PACKAGE_NAME patrol-lamp-headless)
set(CPACK_DEBIAN_HEADLESS_DESCRIPTION "keep watching web sites, without a window (Prometheus exporter)
${patrol_pkg_about} This package holds the command for servers
(patrol-lamp-headless), which needs no display library, its systemd
unit patrol-lamp-exporter.service and examples of the settings, the
Prometheus rules and the Alertmanager routes.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PATROL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PATROL_HOMEPAGE}")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries linked come from the binary; these are loaded by name at run time: the window's platform
# plugins, the history's SQLite driver, Qt's Chinese translations and a font with Chinese glyphs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_HEADLESS_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "patrol-lamp-headless (= ${PROJECT_VERSION}), qt6-qpa-plugins, \
libqt6sql6-sqlite, qt6-translations-l10n, fonts-wqy-microhei | fonts-noto-cjk")
include(CPack)
