# Stamps an executable with the project's four-part version so that
# GetFileVersionText can read it back from the file without running it.
set(BREVOLT_VERSION_STAMP_SOURCE "${CMAKE_BINARY_DIR}/generated/VersionStamp.cpp")
configure_file("${CMAKE_CURRENT_LIST_DIR}/VersionStamp.cpp.in" "${BREVOLT_VERSION_STAMP_SOURCE}" @ONLY)

function(brevolt_stamp_version target)
    target_sources(${target} PRIVATE "${BREVOLT_VERSION_STAMP_SOURCE}")
endfunction()
