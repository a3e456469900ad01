# Install rules and the Debian package.
#
#   cmake --install build --prefix /usr/local   (DESTDIR honoured)
#   cd build && cpack -G DEB
#
# The manual pages are installed compressed, as Debian ships them; the
# system directory is copied whole, so whatever it holds (filters, fonts,
# samples) goes with the programs.

set(PV_PROGRAMS pvview pvconvert)
if(TARGET pvgraphx)
  list(APPEND PV_PROGRAMS pvgraphx)
endif()
install(TARGETS ${PV_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/system/ DESTINATION ${PV_INSTALL_SYSDIR}
        USE_SOURCE_PERMISSIONS
        PATTERN "*.py" EXCLUDE)

find_program(PV_GZIP gzip REQUIRED)
set(PV_MANPAGES)
file(GLOB PV_MAN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.1)
foreach(page ${PV_MAN_SOURCES})
  get_filename_component(name ${page} NAME)
  set(out ${PROJECT_BINARY_DIR}/man/${name}.gz)
  # -n: no name or time stamp in the archive, so the package is the same
  # from one build to the next.
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${PV_GZIP} -9n -c ${page} > ${out}
    DEPENDS ${page} VERBATIM)
  list(APPEND PV_MANPAGES ${out})
endforeach()
set(PV_CHANGELOG ${PROJECT_BINARY_DIR}/dist/changelog.gz)
add_custom_command(OUTPUT ${PV_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/dist
  COMMAND ${PV_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/dist/changelog > ${PV_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/dist/changelog VERBATIM)
add_custom_target(pv_installdocs ALL DEPENDS ${PV_MANPAGES} ${PV_CHANGELOG})

install(FILES ${PV_MANPAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/dist/pvview.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/dist/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PV_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME changelog.Debian.gz)

# The Debian package. Library dependencies come from dpkg-shlibdeps when
# it is there (with the versions the build needs), else they are named.
set(PV_DEB_MAINTAINER "pvview maintainers <maintainers@pvview.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(PV_DEB_RECOMMENDS "ghostscript"
    CACHE STRING "Recommends field of the Debian package: the filter programs")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pvview)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PV_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "raster image viewer for X11 for engineering documents")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION
  "pvview shows one raster image in an X window: huge bilevel scans,
multi-page files and palette images, cropped, rotated, mirrored, scaled
to the window and with colour operations applied. It can be embedded in
a parent window of another application. pvconvert runs the same reading
pipeline without a display and writes the result to a file.")
# A Debian revision of its own: the package is not a native one.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ${PV_DEB_RECOMMENDS})
# zlib is used through libpng, so dpkg-shlibdeps would not name it.
find_program(PV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(PV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "zlib1g")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libx11-6, libpng16-16, zlib1g")
endif()
include(CPack)
