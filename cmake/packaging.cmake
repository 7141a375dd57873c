# What a release holds, made with `cmake --build <dir> --target package`:
#   Windows: comenum-<version>-win32.zip, with comenum.exe, README.md and
#            LICENSE, and nothing else (never the stand-in DLL or mkcomdb.exe);
#   Linux:   comenum-<version>-Linux.tar.gz, with bin/comenum, bin/mkcomdb,
#            the stand-in under lib/, and the README and LICENSE;
# each with a SHA-256 checksum file beside it that `sha256sum -c` accepts.
if(WIN32)
  # `cmake --install` gives the program alone; the package adds the documents.
  install(FILES README.md LICENSE DESTINATION . COMPONENT documents EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL program documents)
else()
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT documents)
  set(CPACK_GENERATOR TGZ)
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The comenum authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
