# Installing and packaging the host build: `cmake --build BUILD --target
# package` makes dorvane_VERSION_amd64.deb with the command, the nbdkit
# plugin in nbdkit's plugin folder, the manual page and the README. Install
# paths are below the prefix (/usr in the package); the plugin's is nbdkit's
# own plugin folder with /usr/ taken off.
pkg_get_variable(DORVANE_NBDKIT_PLUGIN_DIR nbdkit plugindir)
string(REGEX REPLACE "^/usr/" "" DORVANE_NBDKIT_PLUGIN_DIR "${DORVANE_NBDKIT_PLUGIN_DIR}")

install(TARGETS dorvane_cli RUNTIME DESTINATION bin)
install(TARGETS dorvane_nbdkit_plugin LIBRARY DESTINATION ${DORVANE_NBDKIT_PLUGIN_DIR})
install(FILES ${CMAKE_BINARY_DIR}/dorvane.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/dorvane)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Dorvane developers <dorvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "VHD images (fixed, dynamic, differencing) as flat disks, through the Dorvane driver")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The dorvane command reads and writes the virtual disks of VHD images, mounts them\n"
    " through FUSE, converts, checks, repairs and merges them; its nbdkit plugin serves\n"
    " them over NBD to QEMU, qemu-img and nbdcopy.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The libraries come from the binaries (libfuse3, the C++ run time); fuse3
# brings fusermount3, which mounting needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nbdkit, qemu-utils")
set(CPACK_STRIP_FILES ON)
include(CPack)
