# What `cmake --install` puts in place: the shared object with its soname,
# the public headers, the pkg-config file, the tool with its man page, and the
# software token's daemons with theirs.
include(GNUInstallDirs)

set_target_properties(draxel_lib PROPERTIES VERSION ${PROJECT_VERSION}
                      SOVERSION ${PROJECT_VERSION_MAJOR})
install(TARGETS draxel_lib LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# draxel_lib.h includes definitions.h and the low-level draxel_lowlevel.h; a
# directory of their own keeps those generic names out of the top of the
# include path.
install(FILES ${PROJECT_SOURCE_DIR}/main/draxel_lib.h ${PROJECT_SOURCE_DIR}/main/draxel_lowlevel.h
        ${PROJECT_SOURCE_DIR}/main/definitions.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/draxel)

# The prefix is found from the .pc file's own place, so the file stays right
# for `cmake --install --prefix DIR` into any directory.
file(RELATIVE_PATH DRAXEL_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" DRAXEL_PC_TO_PREFIX "${DRAXEL_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/main/draxel_lib.pc.in ${PROJECT_BINARY_DIR}/draxel_lib.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/draxel_lib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set_target_properties(draxel-tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
# A packager that installs into the system's own directories drops the
# RUNPATH with -DCMAKE_SKIP_INSTALL_RPATH=ON.
install(TARGETS draxel-tool draxel-token-sim draxel-vcard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/draxel-tool.1 ${PROJECT_SOURCE_DIR}/sim/draxel-token-sim.1
        ${PROJECT_SOURCE_DIR}/sim/draxel-vcard.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
