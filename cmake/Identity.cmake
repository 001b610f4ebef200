# The names the programs, the package and the registry share, set once here:
# BrevoltIdentity.h (generated from BrevoltIdentity.h.in) gives them to the
# code, cmake/Packaging.cmake to the package.
set(BREVOLT_SERVICE_NAME BrevoltRPro9Connector)
set(BREVOLT_SERVICE_DESCRIPTION "Brevolt connector service for Retail Pro 9.")
set(BREVOLT_VENDOR_KEY "SOFTWARE\\OrvaneSoftware\\Brevolt")
set(BREVOLT_SERVICE_DIRECTORY_KEY "${BREVOLT_VENDOR_KEY}\\${BREVOLT_SERVICE_NAME}")
set(BREVOLT_SERVICES_KEY "SYSTEM\\CurrentControlSet\\Services\\${BREVOLT_SERVICE_NAME}")
set(BREVOLT_REGISTRY_FILE /etc/opt/OrvaneSoftware/registry.reg)

# In C++ string literals each backslash is written twice.
foreach(name BREVOLT_SERVICE_DIRECTORY_KEY BREVOLT_SERVICES_KEY)
    string(REPLACE "\\" "\\\\" ${name}_LITERAL "${${name}}")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/BrevoltIdentity.h.in
    ${CMAKE_BINARY_DIR}/generated/BrevoltIdentity.h @ONLY)
