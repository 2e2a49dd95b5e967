# What a user installs, made by `cpack` in a build folder: for Windows a .zip with the program,
# the batch file that starts it, the README and sample settings; for Linux a .deb with
# /usr/bin/qelrestore, its manual page and the writable folders an installed run uses.
set(QEL_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

set(CPACK_PACKAGE_NAME qelrestore)
set(CPACK_PACKAGE_VENDOR "qelrestore developers")
set(QEL_PACKAGE_MAINTAINER "qelrestore developers <qelrestore@example.org>")
set(CPACK_PACKAGE_CONTACT "${QEL_PACKAGE_MAINTAINER}")
# One line of at most 80 characters, not starting with the package's name.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "unattended restore of an application's folders and database from a backup")
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
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # Where the installed program keeps what it writes: /usr is read-only to it. The host uses
  # these when the running executable sits in QEL_INSTALLED_BINDIR, and the program's own folder
  # otherwise, so a build run from its build folder is unaffected.
  set(QEL_PACKAGE_BINDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
  set(QEL_PACKAGE_LOG_FOLDER /var/log/qelrestore)
  set(QEL_PACKAGE_STATE_FOLDER /var/lib/qelrestore)
  set(QEL_PACKAGE_REGISTRY_FILE /etc/qelrestore/registry.reg)
  target_compile_definitions(
    qelhost PRIVATE QEL_INSTALLED_BINDIR="${QEL_PACKAGE_BINDIR}"
                    QEL_INSTALLED_LOG_FOLDER="${QEL_PACKAGE_LOG_FOLDER}"
                    QEL_INSTALLED_STATE_FOLDER="${QEL_PACKAGE_STATE_FOLDER}"
                    QEL_INSTALLED_REGISTRY_FILE="${QEL_PACKAGE_REGISTRY_FILE}")

  # The program as a distribution builds it: fortified string and memory calls (they need the
  # optimiser), strong stack protection, a position-independent executable and a read-only
  # relocation table bound at start. Sanitized and fuzz builds keep their own instrumentation.
  if(NOT QEL_SANITIZE AND NOT QEL_FUZZ)
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES CXX)
    foreach(target qelcore qelhost qelrestore)
      target_compile_options(
        ${target} PRIVATE -fstack-protector-strong
                          $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
      set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    endforeach()
    target_link_options(qelrestore PRIVATE -Wl,-z,relro -Wl,-z,now)
  endif()

  install(TARGETS qelrestore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Stripping keeps the compiler's .comment section, which says nothing to anyone running it.
  find_program(QEL_OBJCOPY NAMES ${CMAKE_OBJCOPY} objcopy)
  if(QEL_OBJCOPY)
    install(CODE "execute_process(COMMAND \"${QEL_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/qelrestore\")")
  endif()
  install(FILES ${QEL_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(DIRECTORY ${QEL_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES ${QEL_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The registry file ships empty, its layout told in its comments; an administrator edits it, and
  # an upgrade keeps the edits (a conffile). Beside it the rotation of the run logs. The two
  # folders a run writes in are shipped empty, owned by root.
  get_filename_component(QEL_PACKAGE_REGISTRY_FOLDER ${QEL_PACKAGE_REGISTRY_FILE} DIRECTORY)
  get_filename_component(QEL_PACKAGE_REGISTRY_NAME ${QEL_PACKAGE_REGISTRY_FILE} NAME)
  install(FILES ${QEL_SOURCE_DIR}/packaging/debian/registry.reg
          DESTINATION ${QEL_PACKAGE_REGISTRY_FOLDER} RENAME ${QEL_PACKAGE_REGISTRY_NAME})
  install(FILES ${QEL_SOURCE_DIR}/packaging/debian/logrotate DESTINATION /etc/logrotate.d
          RENAME qelrestore)
  install(DIRECTORY DESTINATION ${QEL_PACKAGE_LOG_FOLDER})
  install(DIRECTORY DESTINATION ${QEL_PACKAGE_STATE_FOLDER})

  # Manual page and changelog are installed compressed. The page gets its version; both are
  # compressed when the build is configured (-n: no name or time in the header, so the same text
  # gives the same bytes); a change of either configures again.
  configure_file(${QEL_SOURCE_DIR}/docs/qelrestore.1 ${CMAKE_BINARY_DIR}/qelrestore.1 @ONLY)
  configure_file(${QEL_SOURCE_DIR}/packaging/debian/changelog ${CMAKE_BINARY_DIR}/changelog
                 COPYONLY)
  find_program(QEL_GZIP gzip)
  foreach(text qelrestore.1 changelog)
    set(QEL_${text}_INSTALLED ${CMAKE_BINARY_DIR}/${text})
    if(QEL_GZIP)
      execute_process(COMMAND ${QEL_GZIP} -9 -n -c ${CMAKE_BINARY_DIR}/${text}
                      OUTPUT_FILE ${CMAKE_BINARY_DIR}/${text}.gz RESULT_VARIABLE QEL_GZIP_STATUS)
      if(QEL_GZIP_STATUS EQUAL 0)
        set(QEL_${text}_INSTALLED ${CMAKE_BINARY_DIR}/${text}.gz)
      endif()
    endif()
  endforeach()
  install(FILES ${QEL_qelrestore.1_INSTALLED} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # A package whose version has no Debian revision is native: its changelog is changelog.gz.
  install(FILES ${QEL_changelog_INSTALLED} DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QEL_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  configure_file(${QEL_SOURCE_DIR}/packaging/debian/postrm.in ${CMAKE_BINARY_DIR}/debian/postrm
                 @ONLY)
  configure_file(${QEL_SOURCE_DIR}/packaging/debian/conffiles.in
                 ${CMAKE_BINARY_DIR}/debian/conffiles @ONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/postrm
                                         ${CMAKE_BINARY_DIR}/debian/conffiles)
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
