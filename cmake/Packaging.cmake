# The Debian package, built with `make package` (CPack, DEB generator): the programs and
# their manual pages.
#
# GNU coreutils already owns /usr/bin/factor, so the package keeps everything under its own
# prefix, /opt/fleet-programs, where it can be installed beside any Debian system and removed
# cleanly. A snippet in /etc/profile.d appends its bin folder to the search path of login
# shells; man-db then finds the pages beside it (bin/../share/man) without any set-up.
# Debian's policy keeps /opt for software installed by hand, so lintian names every
# file with dir-or-file-in-opt: the package carries an override that gives that reason.

set(PACKAGE_PREFIX /opt/fleet-programs)

# The maintainer is the one who signed the latest entry of packaging/changelog, so the
# Maintainer field and the changelog agree; -DPACKAGE_MAINTAINER="Name <mail>" overrides it.
set(package_changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${package_changelog})
file(STRINGS ${package_changelog} signature REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" changelog_maintainer "${signature}")
set(PACKAGE_MAINTAINER "" CACHE STRING "Maintainer field of the Debian package (default: the changelog's)")
if(NOT PACKAGE_MAINTAINER)
  set(PACKAGE_MAINTAINER ${changelog_maintainer})
endif()
file(STRINGS ${package_changelog} changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^fleet-programs \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with '${changelog_head}': its latest entry "
                      "must be for version ${PROJECT_VERSION}, the project's")
endif()

# The search-path snippet, the copyright file and the changelog belong to the package only:
# a plain `cmake --install` leaves /etc and /usr alone.
set(search_path_snippet ${CMAKE_BINARY_DIR}/packaging/fleet-programs.sh)
file(CONFIGURE OUTPUT ${search_path_snippet} CONTENT
"# fleet-programs: the programs of the package, after every other folder of the path.
if [ -d @PACKAGE_PREFIX@/bin ]; then
  case \":\${PATH}:\" in
    *:@PACKAGE_PREFIX@/bin:*) ;;
    *) PATH=\"\${PATH:+\${PATH}:}@PACKAGE_PREFIX@/bin\"; export PATH ;;
  esac
fi
" @ONLY)
install(FILES ${search_path_snippet} DESTINATION /etc/profile.d
        COMPONENT search_path EXCLUDE_FROM_ALL)

# Debian wants the changelog compressed at the highest level and without a time stamp
# (gzip -9n), so that the same changelog always makes the same bytes.
set(compressed_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
execute_process(COMMAND gzip -9nc ${package_changelog}
                OUTPUT_FILE ${compressed_changelog} RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip could not compress packaging/changelog")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${compressed_changelog}
        DESTINATION /usr/share/doc/fleet-programs
        COMPONENT package_docs EXCLUDE_FROM_ALL)
# The one lintian tag the package carries on purpose, with its reason (see above).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION /usr/share/lintian/overrides RENAME fleet-programs
        COMPONENT package_docs EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fleet-programs)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fleet log and small console programs with French dialogue")
set(CPACK_PACKAGE_DESCRIPTION
"Nine small console programs that read their answers line by line and print
French messages in Latin-1 (in UTF-8 on a UTF-8 terminal): autolog and
autolog2 keep and list a car-fleet article file (an SQLite database, or a
PostgreSQL table), mirror1 checks palindromes, sieve prints a consonant code,
quadra0 and quadra1 work on a 3 by 3 square, factor and impair check numbers,
and civil splits a registration number.
The fleet command reads, exports, imports and checks the article file.")
string(APPEND CPACK_PACKAGE_DESCRIPTION "
The programs live in /opt/fleet-programs/bin, with their manual pages.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${PACKAGE_PREFIX})
set(CPACK_INSTALL_PREFIX ${PACKAGE_PREFIX})
set(CPACK_SET_DESTDIR ON)
# Stripped with the strip of CMAKE_STRIP, which also drops .comment and .note (see the
# top CMakeLists.txt).
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified search_path package_docs)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps adds every library the programs link (libc, SQLite, GMP and the like),
# each once with its least version. libpq is loaded only for a PostgreSQL URI, so no
# linker entry shows it: it is the one dependency named by hand.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpq5")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Files under /etc are configuration files for dpkg.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "/etc/profile.d/fleet-programs.sh\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)

include(CPack)

# The package test builds the package from this build, unpacks it into a temporary folder
# and checks its programs and pages, and runs lintian on it when lintian is installed. A
# Debug or sanitizer build has no _FORTIFY_SOURCE (see the top CMakeLists.txt): lintian
# may then say so, and only that is let pass.
if(HARDEN AND NOT SANITIZE AND NOT FUZZ AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(fortified fortified)
else()
  set(fortified not-fortified)
endif()
if(BUILD_TESTING)
  add_test(NAME package
           COMMAND ${PROJECT_SOURCE_DIR}/tests/package_test.sh ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR}
                   ${fortified})
  set_tests_properties(package PROPERTIES TIMEOUT 300)
endif()
