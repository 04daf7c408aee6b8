# The Debian package "zev-service": install rules and the CPack settings.
#
#   cmake --build build/release
#   cpack -G DEB --config build/release/CPackConfig.cmake -B build/release/package
# (cpack does not build: it packages what the build made.)
#
# Layout of the package:
#   /usr/lib/zev/                   zevsvc and what it loads or starts from its own
#                                   folder (libzevrpc.so, libhwid.so, zevhost,
#                                   zevdownloader), and libzevxson.so.2 that the
#                                   programs link
#   /usr/bin/zevctl                 the command-line client
#   /lib/systemd/system/zevsvc.service
#                                   rendered at build time by zev-render-unit, the
#                                   same text "zevsvc install" writes
#   /usr/share/zev/hardening.conf   a stricter sandbox for the unit, a drop-in the
#                                   administrator links into zevsvc.service.d/
#   /usr/share/man/man8/zevsvc.8.gz, /usr/share/man/man1/zevctl.1.gz
#   /usr/share/doc/zev-service/     copyright, changelog.gz
# The maintainer scripts (packaging/deb) enable and start the unit, create
# /var/lib/zev, and stop, mask and purge in the usual Debian way.
#
# Include after every target is defined (the end of the top CMakeLists.txt).

set(ZEV_PACKAGE_MAINTAINER "ZEV service maintainers <zev-service@varnel.com>"
    CACHE STRING "Maintainer field of the Debian package and its changelog")
# Build folders configured before keep the earlier default, an address on
# localhost that Debian's tools refuse; it gives way to the new one.
if(ZEV_PACKAGE_MAINTAINER STREQUAL "ZEV service maintainers <zev-service@localhost>")
  set(ZEV_PACKAGE_MAINTAINER "ZEV service maintainers <zev-service@varnel.com>" CACHE STRING
      "Maintainer field of the Debian package and its changelog" FORCE)
endif()

# The package installs below /usr; the private folder holds the service and
# everything it looks for beside itself.
set(ZEV_PACKAGE_PREFIX /usr)
set(ZEV_PRIVATE_DIR lib/zev)
set(ZEV_SYSTEMD_UNIT_INSTALL_DIR /lib/systemd/system)

# The unit runs the service where the package puts it.
set(ZEV_PACKAGED_UNIT ${CMAKE_BINARY_DIR}/packaging/zevsvc.service)
add_custom_command(
  OUTPUT ${ZEV_PACKAGED_UNIT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND zev-render-unit ${ZEV_PACKAGE_PREFIX}/${ZEV_PRIVATE_DIR}/zevsvc ${ZEV_PACKAGED_UNIT}
  DEPENDS zev-render-unit
  COMMENT "Rendering zevsvc.service for ${ZEV_PACKAGE_PREFIX}/${ZEV_PRIVATE_DIR}/zevsvc"
  VERBATIM)
add_custom_target(zev_packaged_unit ALL DEPENDS ${ZEV_PACKAGED_UNIT})

# The programs link libzevxson.so.2, which stays in the private folder: the
# build tree's runpath is replaced at install time by one relative to the
# program. zevctl links none of the private libraries.
set_target_properties(zevsvc zevhost PROPERTIES INSTALL_RPATH "$ORIGIN")

# The file names are the ones zevsvc looks for in its own folder (see the
# zev_place_beside calls in zevservice/host/CMakeLists.txt).
install(TARGETS zevsvc zevhost zevdownloader RUNTIME DESTINATION ${ZEV_PRIVATE_DIR})
install(TARGETS zevrpc hwid LIBRARY DESTINATION ${ZEV_PRIVATE_DIR})
install(TARGETS zevxson LIBRARY DESTINATION ${ZEV_PRIVATE_DIR} NAMELINK_SKIP)
install(TARGETS zevctl RUNTIME DESTINATION bin)
install(FILES ${ZEV_PACKAGED_UNIT} DESTINATION ${ZEV_SYSTEMD_UNIT_INSTALL_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/hardening.conf DESTINATION share/zev
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The manual pages and the changelog go in compressed as Debian wants them:
# gzip -9 without a name or time stamp, so that the same text makes the same
# bytes. The changelog's newest entry must be the version being packaged.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog.in ZEV_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT ZEV_CHANGELOG_TOP MATCHES "^zev-service \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog.in does not begin with an entry for ${PROJECT_VERSION}: "
                      "\"${ZEV_CHANGELOG_TOP}\"")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(ZEV_PACKAGE_GZIPPED)
foreach(source ${CMAKE_BINARY_DIR}/packaging/changelog ${PROJECT_SOURCE_DIR}/packaging/man/zevsvc.8
               ${PROJECT_SOURCE_DIR}/packaging/man/zevctl.1)
  get_filename_component(name ${source} NAME)
  set(gzipped ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(
    OUTPUT ${gzipped}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\"" gzip ${source} ${gzipped}
    DEPENDS ${source}
    VERBATIM)
  list(APPEND ZEV_PACKAGE_GZIPPED ${gzipped})
endforeach()
add_custom_target(zev_package_docs ALL DEPENDS ${ZEV_PACKAGE_GZIPPED})
install(FILES ${CMAKE_BINARY_DIR}/packaging/zevsvc.8.gz DESTINATION share/man/man8)
install(FILES ${CMAKE_BINARY_DIR}/packaging/zevctl.1.gz DESTINATION share/man/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION share/doc/zev-service)

# A stripped install (cpack strips) also drops the compiler's .comment and
# the .note section, as Debian's own packages do.
install(CODE "set(zev_objcopy \"${CMAKE_OBJCOPY}\")")
install(CODE [[
  if(CMAKE_INSTALL_DO_STRIP)
    file(GLOB zev_stripped "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/zev/*"
                           "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/zevctl")
    foreach(file ${zev_stripped})
      if(NOT IS_SYMLINK "${file}")
        execute_process(COMMAND "${zev_objcopy}" --remove-section=.comment --remove-section=.note "${file}"
                        RESULT_VARIABLE zev_objcopy_result)
        if(NOT zev_objcopy_result EQUAL 0)
          message(FATAL_ERROR "objcopy failed on ${file}")
        endif()
      endif()
    endforeach()
  endif()
]])

# cpack packages what the last build made instead of building the tree
# itself: the deb_package test must not rebuild programs that other tests are
# running.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zev-service)
set(CPACK_PACKAGE_VENDOR Varnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZEV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZEV component platform base service")
# The lines of the control file's long description.
set(CPACK_PACKAGE_DESCRIPTION
    "The background service of the ZEV component platform: it learns which\n"
    "versions of which components belong on the machine, installs them, runs\n"
    "them in host processes, and answers RPC calls over a local HTTP endpoint\n"
    "and a local socket. zevctl is its command-line client.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# /lib/systemd/system lies outside the prefix: staging through DESTDIR keeps
# that absolute destination inside the package tree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${ZEV_PACKAGE_PREFIX})
set(CPACK_PACKAGING_INSTALL_PREFIX ${ZEV_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME zev-service)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZEV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/prerm
    ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

find_program(ZEV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZEV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # libzevxson.so.2 comes with the package itself.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/zevservice/xson)
  # zevsvc loads libarchive.so.13 only to read an archive, which
  # dpkg-shlibdeps does not see.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libarchive13")
else()
  # What the programs and libraries link (readelf -d) or load, by Debian 12
  # package.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6, libstdc++6, libgcc-s1, libcurl4, libarchive13, libjsoncpp25, libuv1, libprotobuf32, "
      "libpoconet80, libpocofoundation80, libssl3, zlib1g, libsqlite3-0, libsystemd0")
  string(JOIN "" CPACK_DEBIAN_PACKAGE_DEPENDS ${CPACK_DEBIAN_PACKAGE_DEPENDS})
endif()

include(CPack)

# Packaging a sanitizer build would ship programs that need the sanitizer
# runtimes; the package is checked in the plain build only.
if(ZEV_BUILD_TESTS AND NOT ZEV_SANITIZE AND NOT ZEV_TSAN AND NOT ZEV_FUZZ)
  add_test(NAME deb_package
           COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check_deb.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deb_package PROPERTIES TIMEOUT 600)
endif()
