# GoogleTest for the tests: Debian's package for a native build; for the
# Windows cross build, which has none for its target, Debian's sources
# (libgtest-dev's /usr/src/googletest) built with the cross compiler.
if(TARGET GTest::gtest)
    return()
endif()
if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
    return()
endif()
set(BREVOLT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${BREVOLT_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
