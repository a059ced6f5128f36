# brel-cli: the version the window's caption shows, and the man page printed by
# "brel-cli help --man" (the same texts as its help), installed with the program.
if(TARGET brel-cli)
  include(GNUInstallDirs)
  target_compile_definitions(brel-cli PRIVATE
    BREL_FILE_VERSION="${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(BREL_CLI_MAN ${CMAKE_BINARY_DIR}/man/brel-cli.1.gz)
  # The sanitizers' leak check needs ptrace, which some build hosts refuse.
  add_custom_command(OUTPUT ${BREL_CLI_MAN}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            sh -c "\"$1\" help --man > \"$2.roff\" && gzip -9n < \"$2.roff\" > \"$2\"" sh
            $<TARGET_FILE:brel-cli> ${BREL_CLI_MAN}
    DEPENDS brel-cli
    COMMENT "Writing the brel-cli man page"
    VERBATIM)
  add_custom_target(brel-cli-man ALL DEPENDS ${BREL_CLI_MAN})
  install(FILES ${BREL_CLI_MAN} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
