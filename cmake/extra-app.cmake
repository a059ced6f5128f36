# The desktop program's pictures and the version its caption shows.
if(TARGET brelapp)
  target_sources(brelapp PRIVATE ${CMAKE_SOURCE_DIR}/app/resources/brel.qrc)
  target_compile_definitions(brelapp PRIVATE
    BREL_FILE_VERSION="${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
endif()

# The window's texts in Japanese, compiled by lrelease and carried as the resource
# ":/i18n/brel_ja.qm" (Debian: qt6-l10n-tools, qt6-tools-dev).
if(TARGET brelapp)
  find_package(Qt6 COMPONENTS LinguistTools)
  if(NOT Qt6LinguistTools_FOUND)
    message(FATAL_ERROR "Qt's lrelease is missing: run scripts/setup.sh (qt6-l10n-tools, qt6-tools-dev).")
  endif()
  qt_add_lrelease(brelapp TS_FILES ${CMAKE_SOURCE_DIR}/app/translations/brel_ja.ts
                  QM_FILES_OUTPUT_VARIABLE BREL_QM_FILES)
  qt_add_resources(brelapp brel_i18n PREFIX /i18n BASE ${CMAKE_CURRENT_BINARY_DIR} FILES ${BREL_QM_FILES})
endif()
