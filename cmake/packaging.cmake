# What a user installs, made by `cpack` in a build folder: for Windows a .zip with the program,
# the batch file that starts it, the README and sample settings; for Linux a .deb with
# /usr/bin/qelrestore and its manual page.
set(QEL_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

set(CPACK_PACKAGE_NAME qelrestore)
set(CPACK_PACKAGE_VENDOR "qelrestore developers")
set(CPACK_PACKAGE_CONTACT "qelrestore developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "unattended restore of an application's folders and SQL Server database from a backup")
# Lines of at most 80 characters, as a package's long description wants them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "qelrestore copies a backup folder over every installation folder that the\n"
       "user's path.conf names, then restores the application's database with the SQL\n"
       "client that the restored db.properties and the registry point to, logging each\n"
       "step in its run log.")
# A package holds the program without its symbols, whatever the build type.
set(CPACK_STRIP_FILES ON)
# Packages land in the build folder, never among the sources.
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})

if(WIN32)
  # Everything in one folder, as the batch file expects: it starts qelrestore.exe from its own.
  install(TARGETS qelrestore RUNTIME DESTINATION .)
  install(FILES ${QEL_SOURCE_DIR}/qelRestore.bat ${QEL_SOURCE_DIR}/README.md DESTINATION .)
  install(DIRECTORY ${QEL_SOURCE_DIR}/examples/ DESTINATION examples)
  set(CPACK_GENERATOR ZIP)
else()
  include(GNUInstallDirs)
  install(TARGETS qelrestore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${QEL_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(DIRECTORY ${QEL_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # Manual pages are installed compressed. The page gets its version and is compressed when the
  # build is configured (-n: no name or time in the header, so the same page gives the same
  # bytes); a change of the page configures again.
  configure_file(${QEL_SOURCE_DIR}/docs/qelrestore.1 ${CMAKE_BINARY_DIR}/qelrestore.1 @ONLY)
  find_program(QEL_GZIP gzip)
  if(QEL_GZIP)
    execute_process(COMMAND ${QEL_GZIP} -9 -n -c ${CMAKE_BINARY_DIR}/qelrestore.1
                    OUTPUT_FILE ${CMAKE_BINARY_DIR}/qelrestore.1.gz RESULT_VARIABLE QEL_GZIP_STATUS)
  endif()
  if(QEL_GZIP AND QEL_GZIP_STATUS EQUAL 0)
    install(FILES ${CMAKE_BINARY_DIR}/qelrestore.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${CMAKE_BINARY_DIR}/qelrestore.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "qelrestore developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The program needs the C and C++ runtimes only; dpkg-shlibdeps (from dpkg-dev) names them
  # with their lowest versions when it is there.
  find_program(QEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QEL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
endif()

include(CPack)
