# The Debian package of the three programs, built by scripts/package.sh:
#   /usr/bin/korvane, korvane-flash, korvane-devsim, the desktop entries (the window and the
#   station window) and the icon at every size of its theme, a manual page for each program
#   written from its --help and --version by help2man (res/man/), and in
#   /usr/share/doc/korvane the copyright file, the changelog, and the operator's and line
#   guides with their pictures.
# Its Depends come from the libraries the programs link to (dpkg-shlibdeps) and the Qt SQL
# driver the journal needs; its version from project().
include(GNUInstallDirs)

option(KORVANE_MAN_PAGES "Write the programs' manual pages with help2man" OFF)
if(KORVANE_MAN_PAGES)
    find_program(HELP2MAN help2man REQUIRED)
    set(man_pages)
    # korvane_man_page(PROGRAM SUMMARY): PROGRAM.1.gz, SUMMARY being its NAME line, its
    # synopsis and options the program's --help, its other sections res/man/PROGRAM.h2m.
    function(korvane_man_page program summary)
        set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
        set(include ${PROJECT_SOURCE_DIR}/res/man/${program}.h2m)
        add_custom_command(
            OUTPUT ${page}.gz
            COMMAND ${PROJECT_SOURCE_DIR}/res/man/man-page.sh $<TARGET_FILE:${program}>
                    ${summary} ${include} ${page}
            DEPENDS ${program} ${include} ${PROJECT_SOURCE_DIR}/res/man/man-page.sh
            COMMENT "Manual page of ${program}"
            VERBATIM)
        set(man_pages ${man_pages} ${page}.gz PARENT_SCOPE)
    endfunction()
    korvane_man_page(korvane "flash firmware and data into STM32F10x devices over a serial port")
    korvane_man_page(korvane-flash "flash, list and build STM32F10x device packages")
    korvane_man_page(korvane-devsim "a simulated STM32F10x device on a pseudo-terminal")
    add_custom_target(man_pages ALL DEPENDS ${man_pages})
    install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Korvane developers <korvane@korvane.dev>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Flashes firmware and data into STM32F10x devices over RS-232")
# CPack keeps these line breaks, so that no line of the control file's description runs
# past 80 columns.
set(CPACK_PACKAGE_DESCRIPTION [=[
korvane (a window) and korvane-flash (the command line) write a package's
loader, firmware and data images into a device through the microcontroller's
ROM bootloader, giving each device its serial number, and keep a journal of
every run in SQLite or PostgreSQL. korvane-devsim is a simulated device on a
pseudo-terminal, for trying them without hardware.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its SQL drivers as plugins, which dpkg-shlibdeps cannot see: without the SQLite
# one the station's own journal cannot be opened and no run starts. The PostgreSQL one
# is needed only for a journal shared by a line of stations.
# The dashboard's page loads Chart.js from the system's copy.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, libjs-chart.js")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libqt6sql6-psql)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The changelog of this native package (its version has no Debian revision) is
# changelog.gz, its one entry written from project()'s version, dated when the build is
# configured (or at SOURCE_DATE_EPOCH), and compressed without a name or time stamp.
find_program(GZIP gzip REQUIRED)
string(TIMESTAMP korvane_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/res/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND ${GZIP} -9nc ${PROJECT_BINARY_DIR}/debian/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz
                COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${PROJECT_SOURCE_DIR}/res/debian/copyright
              ${PROJECT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The guides an operator and a line's engineer read, with the screenshots they show (the
# developer's pictures are SVG and stay out).
install(FILES ${PROJECT_SOURCE_DIR}/docs/operator-guide.md ${PROJECT_SOURCE_DIR}/docs/line-setup.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/images DESTINATION ${CMAKE_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.png")
# The dashboard as a service of the line's server, installed disabled: a station needs none.
if(TARGET korvane_dashboard)
    install(FILES ${PROJECT_SOURCE_DIR}/res/debian/korvane-dashboard.service
            DESTINATION lib/systemd/system)
endif()
include(CPack)
