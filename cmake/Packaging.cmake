# A Debian package of the program with CPack: `make package` (or `cpack -G DEB` in a
# build folder). Its dependencies come from dpkg-shlibdeps, so they match the libraries
# the binaries were linked with on this machine.
set(REKASTO_PACKAGE_MAINTAINER "Qel DB Rekasto developers <rekasto@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qel-db-rekasto)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Qel DB Rekasto developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check and repair Paradox database tables")
# CPack puts the summary above this as the synopsis line. No line may start with a dot
# (a control statement in a Debian description), hence the wording around the extensions.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Qel DB Rekasto verifies and rebuilds Paradox tables, levels 3 to 7: the\n\
DB files with their companions (PX, Xnn/Ynn, XGn/YGn, MB and VAL files).\n\
A rebuild keeps every readable record, writes a complete new family, and\n\
keeps the original as a backup beside the table.\n\
.\n\
The package holds the desktop program (qel-db-rekasto, in Polish) and the\n\
command-line tool rekasto, which also checks whole folder trees of tables.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${REKASTO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debug builds carry their symbols in the build tree, not in the package.
set(CPACK_STRIP_FILES ON)
include(CPack)
