# GoogleTest built from its sources for the target, for builds whose target has no
# prebuilt copy (a cross build for Windows). Debian's libgtest-dev ships the sources.
set(KORVANE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's source tree")
if(NOT EXISTS ${KORVANE_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${KORVANE_GOOGLETEST_SOURCE} "
                        "(Debian: apt-get install libgtest-dev libgmock-dev)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${KORVANE_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Recent GoogleTest releases name their targets GTest::... themselves.
foreach(library IN ITEMS gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${library})
        add_library(GTest::${library} ALIAS ${library})
    endif()
endforeach()
