# SPDX-License-Identifier: 0BSD
# Installing stubpack and packing it. `cmake --install` puts it under a
# prefix; cpack makes, from the host build, the Debian package
# stubpack_<version>_<arch>.deb (program, man page, bash completion,
# copyright, changelog) and, from the MinGW build,
# stubpack-<version>-win64.zip (stubpack.exe, the README, the licence and
# the notices of every part linked in). scripts/package.sh builds both.
set(STUBPACK_SUMMARY "make, inspect and verify Windows setup launcher files")
set(CPACK_PACKAGE_NAME stubpack)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${STUBPACK_SUMMARY}")
set(CPACK_PACKAGE_CONTACT "Launcher Dev <dev@example.com>")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

if(WIN32)
  install(TARGETS stubpack RUNTIME DESTINATION .)
  install(FILES "${CMAKE_SOURCE_DIR}/README.md" "${CMAKE_SOURCE_DIR}/LICENSE" DESTINATION .)
  # The Debian copyright file names every part stubpack.exe and its stub
  # carry, with their licences.
  install(FILES "${CMAKE_SOURCE_DIR}/cmake/debian/copyright"
          DESTINATION . RENAME NOTICES.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "stubpack-${PROJECT_VERSION}-win64")
else()
  include(GNUInstallDirs)
  set(PACKAGING_DIR "${CMAKE_BINARY_DIR}/packaging")

  # The man page, from the --help texts of the stubpack just linked.
  add_custom_command(OUTPUT "${PACKAGING_DIR}/stubpack.1.gz"
    COMMAND python3 "${CMAKE_SOURCE_DIR}/scripts/make-manpage.py"
            "$<TARGET_FILE:stubpack>" "${STUBPACK_SUMMARY}" "${PACKAGING_DIR}/stubpack.1"
    COMMAND gzip -9nf "${PACKAGING_DIR}/stubpack.1"
    DEPENDS stubpack "${CMAKE_SOURCE_DIR}/scripts/make-manpage.py"
    COMMENT "Writing the stubpack man page from its help texts"
    VERBATIM)
  # The bash completion, from the option tables of the same stubpack.
  add_custom_command(OUTPUT "${PACKAGING_DIR}/stubpack"
    COMMAND sh -c "\"$0\" --bash-completion > \"$1\"" "$<TARGET_FILE:stubpack>"
            "${PACKAGING_DIR}/stubpack"
    DEPENDS stubpack
    COMMENT "Writing the stubpack bash completion from its option tables"
    VERBATIM)
  configure_file("${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in"
                 "${PACKAGING_DIR}/changelog" @ONLY)
  add_custom_command(OUTPUT "${PACKAGING_DIR}/changelog.gz"
    COMMAND gzip -9nkf "${PACKAGING_DIR}/changelog"
    DEPENDS "${PACKAGING_DIR}/changelog"
    VERBATIM)
  add_custom_target(stubpack_docs ALL
    DEPENDS "${PACKAGING_DIR}/stubpack.1.gz" "${PACKAGING_DIR}/changelog.gz"
            "${PACKAGING_DIR}/stubpack")

  # Debian's hardening for the program the package ships: fortified libc
  # calls and a read-only GOT (lintian checks both).
  foreach(target stubpack packer_core)
    target_compile_definitions(${target} PRIVATE
      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
    target_compile_options(${target} PRIVATE -fstack-protector-strong)
  endforeach()
  target_link_options(stubpack PRIVATE -Wl,-z,relro,-z,now)

  install(TARGETS stubpack RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  install(FILES "${PACKAGING_DIR}/stubpack.1.gz"
          DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  install(FILES "${PACKAGING_DIR}/stubpack"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions")
  install(FILES "${CMAKE_SOURCE_DIR}/cmake/debian/copyright" "${PACKAGING_DIR}/changelog.gz"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/stubpack")

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # Depends from the program's own shared libraries (dpkg-shlibdeps): run-time
  # libraries only. The MinGW stub is data inside the program.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_PACKAGE_DESCRIPTION
      "stubpack turns a Windows setup program into a launcher file: a small\n"
      "x86-64 Windows executable (the stub, built into stubpack) that carries\n"
      "the setup program compressed with LZMA, checks its package and the\n"
      "Windows release, then starts the setup program. stubpack also inspects,\n"
      "verifies and unpacks launcher files.")
  string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
endif()

include(CPack)
