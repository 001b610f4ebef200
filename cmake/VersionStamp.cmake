# Stamps an executable with the project's four-part version so that
# GetFileVersionText can read it back from the file without running it: on
# Windows as the VERSIONINFO resource the system reads (VersionInfo.rc.in),
# elsewhere as a marked string (VersionStamp.cpp.in).
set(BREVOLT_VERSION_STAMP_SOURCE "${CMAKE_BINARY_DIR}/generated/VersionStamp.cpp")
configure_file("${CMAKE_CURRENT_LIST_DIR}/VersionStamp.cpp.in" "${BREVOLT_VERSION_STAMP_SOURCE}" @ONLY)
set(BREVOLT_VERSION_INFO_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/VersionInfo.rc.in")
if(WIN32)
    enable_language(RC)
endif()

function(brevolt_stamp_version target)
    if(NOT WIN32)
        target_sources(${target} PRIVATE "${BREVOLT_VERSION_STAMP_SOURCE}")
        return()
    endif()
    set(BREVOLT_RC_TARGET ${target})
    set(BREVOLT_RC_FILE_NAME ${target}.exe)
    set(rc "${CMAKE_BINARY_DIR}/generated/${target}.rc")
    configure_file("${BREVOLT_VERSION_INFO_TEMPLATE}" "${rc}" @ONLY)
    target_sources(${target} PRIVATE "${rc}")
endfunction()
