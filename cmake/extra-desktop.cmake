# The window as a desktop program: install rules (programs, desktop entry, icons), the Debian
# package (cpack -G DEB) and the test of that package.
include(GNUInstallDirs)

if(TARGET brel-cli)
  install(TARGETS brel-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET brel)
  install(TARGETS brel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/desktop/brel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/desktop/brel.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 16 32 48 64 128 256)
    install(FILES ${CMAKE_SOURCE_DIR}/desktop/brel-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME brel.png)
  endforeach()
  # The window's man page beside brel-cli's, and the licences of brel and of what it carries
  # or links (Debian's machine-readable format).
  set(BREL_MAN ${CMAKE_BINARY_DIR}/man/brel.1.gz)
  add_custom_command(OUTPUT ${BREL_MAN}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${CMAKE_SOURCE_DIR}/desktop/brel.1 ${BREL_MAN}
    DEPENDS ${CMAKE_SOURCE_DIR}/desktop/brel.1
    VERBATIM)
  add_custom_target(brel-man ALL DEPENDS ${BREL_MAN})
  install(FILES ${BREL_MAN} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/desktop/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# Debian package brel_<version>_amd64.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brel)
set(CPACK_PACKAGE_VENDOR "brel")
set(CPACK_PACKAGE_CONTACT "brel maintainers <brel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop packer: ZIP, LZH, CAB and TAR archives and UPX in one window")
set(CPACK_PACKAGE_DESCRIPTION
    "Drop files and folders on one window and press Execute: archives are extracted beside \
themselves, everything else is packed into one new archive, one executable is compressed by UPX. \
brel-cli drives the same archive code from a shell.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY brel)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, zlib1g, libdeflate0, libmspack0, libssl3, libbz2-1.0, liblzma5, libzstd1, libarchive13, libqt6core6 (>= 6.2), libqt6gui6 (>= 6.2), libqt6widgets6 (>= 6.2), libqt6network6 (>= 6.2), qt6-qpa-plugins")
if(BREL_SANITIZE)
  # A test build carries the sanitizer runtimes.
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libasan8, libubsan1")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "desktop-file-utils, hicolor-icon-theme")
set(CPACK_STRIP_FILES ON)
include(CPack)

cmake_language(DEFER CALL brel_desktop_tests)
function(brel_desktop_tests)
  # The second-start test runs the real program.
  if(TARGET test_app AND TARGET brel)
    add_dependencies(test_app brel)
  endif()
  # The window's labels in English and Japanese on a real X server (Xvfb), saved as pictures
  # under <build>/screenshots.
  find_program(XVFB_RUN xvfb-run)
  if(TARGET test_app AND XVFB_RUN AND BREL_TESTS)
    add_test(NAME app_labels_xvfb
             COMMAND ${XVFB_RUN} -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:test_app>
                     --gtest_filter=*LabelsFollowTheLocale*)
    set_tests_properties(app_labels_xvfb PROPERTIES TIMEOUT 300 ENVIRONMENT
      "QT_QPA_PLATFORM=xcb;LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/ui/lsan-x11.supp")
  endif()
  if(TARGET brel AND TARGET brel-cli AND BREL_TESTS)
    add_test(NAME package COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/test-package.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
  endif()
endfunction()
