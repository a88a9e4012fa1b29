# What gets installed besides the programs, and the Debian package of it all: both programs
# (stripped), their manual pages, bash completion for tarnvel-fw, the metrics service and timer
# (installed, never enabled), tarnvel-fw's commented configuration file, the copyright and changelog files Debian asks for and lintian's
# override of the one tag that does not apply to a package built outside Debian.

find_program(GZIP_PROGRAM gzip REQUIRED)

# Manual pages and the changelog are installed compressed, at the highest level and without the
# name and time stamp gzip would otherwise store, so that they depend on their text alone.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/compressed/man
                    ${PROJECT_BINARY_DIR}/compressed/packaging/debian)
set(TARNVEL_COMPRESSED_FILES)
foreach(file IN ITEMS man/tarnvel-flash.8 man/tarnvel-fw.8 packaging/debian/changelog)
  set(compressed ${PROJECT_BINARY_DIR}/compressed/${file}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND ${GZIP_PROGRAM} -9 -n -c ${PROJECT_SOURCE_DIR}/${file} > ${compressed}
                     DEPENDS ${PROJECT_SOURCE_DIR}/${file}
                     COMMENT "Compressing ${file}"
                     VERBATIM)
  list(APPEND TARNVEL_COMPRESSED_FILES ${compressed})
endforeach()
add_custom_target(compressed_files ALL DEPENDS ${TARNVEL_COMPRESSED_FILES})

install(FILES ${PROJECT_BINARY_DIR}/compressed/man/tarnvel-flash.8.gz
              ${PROJECT_BINARY_DIR}/compressed/man/tarnvel-fw.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_BINARY_DIR}/compressed/packaging/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME changelog.Debian.gz)
install(FILES packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarnvel-flash)

# bash-completion loads it from here when tarnvel-fw is first completed.
install(FILES contrib/bash-completion/tarnvel-fw
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The service names tarnvel-fw by the path it is installed at, which is known only while
# installing: /usr/sbin in the package, /usr/local/sbin for a default `cmake --install`.
install(CODE "
  set(TARNVEL_FW \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/tarnvel-fw\")
  configure_file(\"${PROJECT_SOURCE_DIR}/contrib/systemd/tarnvel-fw-metrics.service.in\"
                 \"${PROJECT_BINARY_DIR}/systemd/tarnvel-fw-metrics.service\" @ONLY)
  file(INSTALL \"${PROJECT_BINARY_DIR}/systemd/tarnvel-fw-metrics.service\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
")
install(FILES contrib/systemd/tarnvel-fw-metrics.timer DESTINATION lib/systemd/system)

# tarnvel-fw's configuration, every setting commented out, where the program reads it: a
# conffile of the package, which dpkg never overwrites once the operator has changed it; a plain
# `cmake --install` lays it down only where there is none yet.
install(CODE "
  if(NOT EXISTS \"\$ENV{DESTDIR}/etc/tarnvel/tarnvel-fw.toml\")
    file(INSTALL \"${PROJECT_SOURCE_DIR}/contrib/tarnvel-fw.toml\" DESTINATION /etc/tarnvel)
  endif()
")

# The Debian package. Its version carries a Debian revision, and the changelog's newest entry
# must name exactly that version.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(package_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
file(STRINGS packaging/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^tarnvel-flash \\(${package_version}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the newest entry is not for version "
                      "${package_version}: ${changelog_head}")
endif()

set(CPACK_PACKAGE_NAME tarnvel-flash)
set(CPACK_PACKAGE_CONTACT "tarnvel-flash maintainers <maintainers@tarnvel-flash.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${PROJECT_SOURCE_DIR}/packaging/debian/description)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The runtime libraries the programs link become the dependencies; the completion and the
# units need nothing that is not there whenever they are used.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR DEB)
include(CPack)
