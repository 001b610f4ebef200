# The Debian package, made by `cpack -G DEB` in the build folder: both
# programs under /opt, the service's systemd unit and man page, the utility's
# desktop entry and icon, and maintainer scripts that make the service's
# account, its service directory under /var/opt and the registry entry
# naming it. The install rules describe the package's tree, so they are
# relative to "/". The sample database and the other tools stay out: a
# production machine has the real Retail Pro 9 database.

set(BREVOLT_PACKAGE_NAME brevolt-rpro9-connector)
set(BREVOLT_PROGRAM_DIR /opt/${BREVOLT_PACKAGE_NAME}/bin)
set(BREVOLT_SERVICE_DIR /var/opt/${BREVOLT_PACKAGE_NAME})
set(BREVOLT_ACCOUNT brevolt)
set(BREVOLT_ACCOUNT_COMMENT "Brevolt Connector for Retail Pro 9")
set(BREVOLT_UNIT ${BREVOLT_SERVICE_NAME}.service)
set(BREVOLT_ICON_NAME brevolt-rpro9-configurator)
# The service's name, the registry file and keys: cmake/Identity.cmake, as
# the programs have them.

set(PACKAGING_SOURCE_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(PACKAGING_BINARY_DIR ${CMAKE_BINARY_DIR}/packaging)

string(SUBSTRING ${BREVOLT_PROGRAM_DIR} 1 -1 program_destination)
install(TARGETS BrevoltRPro9Service BrevoltRPro9Configurator
        RUNTIME DESTINATION ${program_destination})
# Both programs log into logs/ beside them, which the package cannot let its
# users write under /opt: it is the service directory's log folder, where
# the service's own log goes once it has read the registry.
file(MAKE_DIRECTORY ${PACKAGING_BINARY_DIR})
file(CREATE_LINK ${BREVOLT_SERVICE_DIR}/logs ${PACKAGING_BINARY_DIR}/logs SYMBOLIC)
install(FILES ${PACKAGING_BINARY_DIR}/logs DESTINATION ${program_destination})

configure_file(${PACKAGING_SOURCE_DIR}/BrevoltRPro9Connector.service.in
               ${PACKAGING_BINARY_DIR}/${BREVOLT_UNIT} @ONLY)
install(FILES ${PACKAGING_BINARY_DIR}/${BREVOLT_UNIT} DESTINATION lib/systemd/system)

configure_file(${PACKAGING_SOURCE_DIR}/${BREVOLT_ICON_NAME}.desktop.in
               ${PACKAGING_BINARY_DIR}/${BREVOLT_ICON_NAME}.desktop @ONLY)
install(FILES ${PACKAGING_BINARY_DIR}/${BREVOLT_ICON_NAME}.desktop
        DESTINATION usr/share/applications)
install(FILES ${PACKAGING_SOURCE_DIR}/${BREVOLT_ICON_NAME}.svg
        DESTINATION usr/share/icons/hicolor/scalable/apps)

# Debian's man pages are gzip-compressed, without a time stamp.
configure_file(${PACKAGING_SOURCE_DIR}/BrevoltRPro9Service.8.in
               ${PACKAGING_BINARY_DIR}/BrevoltRPro9Service.8 @ONLY)
add_custom_command(
    OUTPUT ${PACKAGING_BINARY_DIR}/BrevoltRPro9Service.8.gz
    COMMAND gzip -9 -n -c BrevoltRPro9Service.8 > BrevoltRPro9Service.8.gz
    DEPENDS ${PACKAGING_BINARY_DIR}/BrevoltRPro9Service.8
    WORKING_DIRECTORY ${PACKAGING_BINARY_DIR}
    VERBATIM)
add_custom_target(brevolt_man_page ALL DEPENDS ${PACKAGING_BINARY_DIR}/BrevoltRPro9Service.8.gz)
install(FILES ${PACKAGING_BINARY_DIR}/BrevoltRPro9Service.8.gz DESTINATION usr/share/man/man8)

# The scripts that edit the registry file carry its functions inline.
file(READ ${PACKAGING_SOURCE_DIR}/registry.sh BREVOLT_REGISTRY_FUNCTIONS)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PACKAGING_SOURCE_DIR}/registry.sh)
set(maintainer_scripts)
foreach(script postinst prerm postrm)
    configure_file(${PACKAGING_SOURCE_DIR}/${script}.in ${PACKAGING_BINARY_DIR}/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
    list(APPEND maintainer_scripts ${PACKAGING_BINARY_DIR}/${script})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${BREVOLT_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Orvane Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Brevolt connector for Retail Pro 9")
# The extended description, in lines of at most 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "A service that reads the recent sales invoices of the selected stores from\n"
    "the Retail Pro 9 database, uploads those of customers with an e-mail address\n"
    "by FTP to the Brevolt marketing service, archives them and reports its\n"
    "health by e-mail, and the desktop utility that configures it.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orvane Software <support@orvanesoftware.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from dpkg-shlibdeps; what the scripts run, and the Qt
# drivers loaded as plug-ins, are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6sql6-odbc, unixodbc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${maintainer_scripts})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
