# `cpack -G DEB` (or the `package` target) in a build folder makes
# pellatrix_<version>_<arch>.deb: everything `cmake --install` puts down, under /usr, with
# Depends worked out by dpkg-shlibdeps from the libraries the programs really link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pellatrix)
set(CPACK_PACKAGE_VENDOR Quennet)
set(CPACK_PACKAGE_CONTACT "Quennet <support@quennet.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "create many files at once from list files")
set(CPACK_PACKAGE_DESCRIPTION
    "Pellatrix gathers list files in one window and creates every file that they
name. Each non-blank line of a list file names a file to create, optionally
followed by '>' and the text that this one file gets; one fixed text, typed in
the window, goes into every file otherwise. Missing folders are created and
existing files replaced, and a failure on one file never stops the others.
.
The package also holds pellatrix-cli, which does the same job in scripts and
pipes, sample list files, manual pages and bash completion.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.quennet.example/pellatrix/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Folders in the package are 0755 whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
