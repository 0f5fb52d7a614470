# The Debian package of the three programs, built by scripts/package.sh:
#   /usr/bin/korvane, korvane-flash, korvane-devsim, the desktop entry and its icon, and a
#   manual page for each program written from its --help and --version by help2man.
# Its Depends come from the libraries the programs link to (dpkg-shlibdeps), and its
# version from project().
include(GNUInstallDirs)

option(KORVANE_MAN_PAGES "Write the programs' manual pages with help2man" OFF)
if(KORVANE_MAN_PAGES)
    find_program(HELP2MAN help2man REQUIRED)
    set(man_pages)
    # korvane_man_page(PROGRAM SUMMARY): PROGRAM.1.gz, SUMMARY being its NAME line.
    function(korvane_man_page program summary)
        set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
        add_custom_command(
            OUTPUT ${page}.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
            COMMAND ${HELP2MAN} --no-info --name=${summary} --output=${page}
                    $<TARGET_FILE:${program}>
            COMMAND gzip -9nf ${page}
            DEPENDS ${program}
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
set(CPACK_PACKAGE_CONTACT "Korvane developers <korvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Flashes firmware and data into STM32F10x devices over RS-232")
set(CPACK_PACKAGE_DESCRIPTION "korvane (a window) and korvane-flash (the command line) write a \
package's loader, firmware and data images into a device through the microcontroller's ROM \
bootloader, giving each device its serial number. korvane-devsim is a simulated device on a \
pseudo-terminal, for trying them without hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
