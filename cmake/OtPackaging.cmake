# Packages (scripts/package runs cpack on a release build configured for
# /usr): two Debian packages and a portable tarball.
#   ottodolist          desktop program, upgrader and command line (component desktop)
#   ottodolist-servers  otCloudServer and otUpdateServer as system services (servers)
#   otTodolist-VERSION-Linux-portable.tar.gz   one program directory (portable)

# Every program in the portable program directory, beside each other.
set(ot_portable_programs otTodolist otUpgrade ottodo ottodo-cloud otCloudServer otUpdateServer)
foreach(program ${ot_portable_programs})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION . COMPONENT portable EXCLUDE_FROM_ALL)
  endif()
endforeach()

# A package manager's installation: otUpgrade never writes into it.
option(OT_PACKAGE_MANAGED "The install is for a package manager's package" OFF)
if(OT_PACKAGE_MANAGED)
  file(WRITE ${CMAKE_BINARY_DIR}/package-managed
    "Installed by the system's package manager: updates come from it.\n")
  install(FILES ${CMAKE_BINARY_DIR}/package-managed DESTINATION ${OT_INSTALL_SHARE_DIR}
    COMPONENT desktop)
endif()

# What Debian wants in every package: its copyright file and its changelog.
set(ot_debian ${PROJECT_SOURCE_DIR}/resources/debian)
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND ${GZIP} -9n -c ${ot_debian}/changelog > ${CMAKE_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${ot_debian}/changelog)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/debian)
add_custom_target(ot_debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
foreach(pair "desktop;ottodolist" "servers;ottodolist-servers")
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${ot_debian}/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME otTodolist)
set(CPACK_PACKAGE_VENDOR Brenmoor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Brenmoor <packages@brenmoor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "To-do list that synchronizes through your own cloud server")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://brenmoor.example/otTodolist")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_SOURCE_IGNORE_FILES /build/ /\\\\.git/)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${CPACK_PACKAGE_HOMEPAGE_URL})
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_COMPONENT_DESKTOP_DISPLAY_NAME "Desktop program and command line")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME ottodolist)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION utils)
# First line: the synopsis; cpack indents the rest, an empty line ends a paragraph.
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
  "to-do list that synchronizes through your own cloud server
Sarnic Tasks (otTodolist) keeps task lists in a narrow window with one page
per list: priorities, due dates, alert times and remarks, reminders and a
tray icon. Every task is a plain file; changes are synchronized with a folder
on a cloud server you run yourself (package ottodolist-servers).

The package also holds ottodo, a command-line front end on the same tasks,
and otUpgrade. Each user keeps their tasks in ~/.local/share/otTodolist.")

set(CPACK_COMPONENT_SERVERS_DISPLAY_NAME "Cloud and update servers")
set(CPACK_DEBIAN_SERVERS_PACKAGE_NAME ottodolist-servers)
set(CPACK_DEBIAN_SERVERS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVERS_DESCRIPTION
  "cloud storage and update servers for otTodolist
otCloudServer is the self-hosted cloud storage service the otTodolist
desktop program and ottodo synchronize with: several users, signed requests,
HTTPS for logins and tokens. otUpdateServer serves update lists and signed
packages. Both come as systemd services with their own system users and
configuration files in /etc/otTodolist.")
set(CPACK_DEBIAN_SERVERS_PACKAGE_CONTROL_EXTRA
  ${ot_debian}/servers/conffiles ${ot_debian}/servers/postinst ${ot_debian}/servers/prerm
  ${ot_debian}/servers/postrm)
set(CPACK_DEBIAN_SERVERS_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The tarball holds the portable component alone; the Debian packages the
# other two (CPackOptions.cmake picks per generator).
set(CPACK_COMPONENTS_ALL desktop servers portable)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_PORTABLE_FILE_NAME otTodolist-${PROJECT_VERSION}-Linux-portable)
configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackOptions.cmake.in
  ${CMAKE_BINARY_DIR}/CPackOptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackOptions.cmake)

include(CPack)
