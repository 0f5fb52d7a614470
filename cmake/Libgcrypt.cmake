# libgcrypt, which checks package signatures, as the target korvane::libgcrypt.
#   Linux:   Debian's libgcrypt20-dev, through pkg-config (libgcrypt.pc), else by its names.
#   Windows: Debian's libgcrypt-mingw-w64-dev and libgpg-error-mingw-w64-dev, linked
#            statically (libgcrypt.a, libgpg-error.a and the Winsock library libgpg-error
#            uses), so that the programs stay one file with no DLL beside them.
if(TARGET korvane::libgcrypt)
    return()
endif()

add_library(korvane::libgcrypt INTERFACE IMPORTED)
if(WIN32)
    find_path(LIBGCRYPT_INCLUDE_DIR gcrypt.h)
    # The archives by their full names: the import libraries beside them lead to DLLs.
    find_library(LIBGCRYPT_STATIC_LIBRARY NAMES libgcrypt.a)
    find_library(LIBGPG_ERROR_STATIC_LIBRARY NAMES libgpg-error.a)
    if(NOT LIBGCRYPT_INCLUDE_DIR OR NOT LIBGCRYPT_STATIC_LIBRARY OR NOT LIBGPG_ERROR_STATIC_LIBRARY)
        message(FATAL_ERROR "No static libgcrypt for MinGW-w64 (Debian: apt-get install "
                            "libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev)")
    endif()
    target_include_directories(korvane::libgcrypt INTERFACE ${LIBGCRYPT_INCLUDE_DIR})
    target_link_libraries(korvane::libgcrypt INTERFACE
        ${LIBGCRYPT_STATIC_LIBRARY} ${LIBGPG_ERROR_STATIC_LIBRARY} ws2_32)
else()
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
        pkg_check_modules(LIBGCRYPT QUIET IMPORTED_TARGET libgcrypt)
    endif()
    if(TARGET PkgConfig::LIBGCRYPT)
        target_link_libraries(korvane::libgcrypt INTERFACE PkgConfig::LIBGCRYPT)
    else()
        find_path(LIBGCRYPT_INCLUDE_DIR gcrypt.h)
        find_library(LIBGCRYPT_LIBRARY NAMES gcrypt)
        find_library(LIBGPG_ERROR_LIBRARY NAMES gpg-error)
        if(NOT LIBGCRYPT_INCLUDE_DIR OR NOT LIBGCRYPT_LIBRARY OR NOT LIBGPG_ERROR_LIBRARY)
            message(FATAL_ERROR "No libgcrypt (Debian: apt-get install libgcrypt20-dev)")
        endif()
        target_include_directories(korvane::libgcrypt INTERFACE ${LIBGCRYPT_INCLUDE_DIR})
        target_link_libraries(korvane::libgcrypt INTERFACE
            ${LIBGCRYPT_LIBRARY} ${LIBGPG_ERROR_LIBRARY})
    endif()
endif()
