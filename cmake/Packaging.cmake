# The Debian package, built with `make package` (CPack, DEB generator): the nine programs and
# their manual pages.
#
# GNU coreutils already owns /usr/bin/factor, so the package keeps everything under its own
# prefix, /opt/fleet-programs, where it can be installed beside any Debian system and removed
# cleanly. A snippet in /etc/profile.d appends its bin folder to the search path of login
# shells; man-db then finds the pages beside it (bin/../share/man) without any set-up.

set(PACKAGE_PREFIX /opt/fleet-programs)
set(PACKAGE_MAINTAINER "Fleet programs maintainers <maintainers@users.noreply.c-seed-814853d7.example>"
    CACHE STRING "Maintainer field of the Debian package")

# The search-path snippet belongs to the package only: a plain `cmake --install` leaves
# /etc alone.
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

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fleet-programs)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fleet log and small console programs with French dialogue")
set(CPACK_PACKAGE_DESCRIPTION
"Nine small console programs that read their answers line by line and print
French messages in Latin-1 (in UTF-8 on a UTF-8 terminal): autolog and autolog2 keep and list a car-fleet
article file (an SQLite database, or a PostgreSQL table), mirror1 checks
palindromes, sieve prints a consonant code, quadra0 and quadra1 work on a
3 by 3 square, factor and impair check numbers, and civil splits a
registration number.
The programs live in /opt/fleet-programs/bin, with their manual pages.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${PACKAGE_PREFIX})
set(CPACK_INSTALL_PREFIX ${PACKAGE_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified search_path)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The runtime's file layer stores the article file with SQLite and loads libpq for
# PostgreSQL URIs; its decimal work values use GMP. dpkg-shlibdeps adds what the programs
# link directly (libc, libstdc++ and the like).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0, libgmp10, libpq5")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Files under /etc are configuration files for dpkg.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "/etc/profile.d/fleet-programs.sh\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)

include(CPack)

# The package test builds the package from this build, unpacks it into a temporary folder
# and checks its programs and pages.
if(BUILD_TESTING)
  add_test(NAME package
           COMMAND ${PROJECT_SOURCE_DIR}/tests/package_test.sh ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR})
  set_tests_properties(package PROPERTIES TIMEOUT 300)
endif()
