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
  # Shell completion, from the same option table.
  set(BREL_CLI_COMPLETION ${CMAKE_BINARY_DIR}/completion)
  add_custom_command(OUTPUT ${BREL_CLI_COMPLETION}/brel-cli ${BREL_CLI_COMPLETION}/_brel-cli
    COMMAND ${CMAKE_COMMAND} -E make_directory ${BREL_CLI_COMPLETION}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            sh -c "\"$1\" help --completion bash > \"$2/brel-cli\" && \"$1\" help --completion zsh > \"$2/_brel-cli\"" sh
            $<TARGET_FILE:brel-cli> ${BREL_CLI_COMPLETION}
    DEPENDS brel-cli
    COMMENT "Writing the brel-cli shell completion"
    VERBATIM)
  add_custom_target(brel-cli-completion ALL DEPENDS ${BREL_CLI_COMPLETION}/brel-cli)
  install(FILES ${BREL_CLI_COMPLETION}/brel-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  install(FILES ${BREL_CLI_COMPLETION}/_brel-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
endif()
