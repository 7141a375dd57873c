# With the MinGW-w64 cross compiler and Wine at hand, the native build also
# builds the Windows program and its test DLL in windows/, and the tests run
# them under Wine.
find_program(COMENUM_MINGW_CXX i686-w64-mingw32-g++)
find_program(WINE_PATH wine)
if(COMENUM_MINGW_CXX AND WINE_PATH)
  set(windows_default ON)
else()
  set(windows_default OFF)
endif()
option(COMENUM_WINDOWS "Also cross-build comenum.exe and test it under Wine" ${windows_default})

if(COMENUM_WINDOWS)
  if(NOT COMENUM_MINGW_CXX OR NOT WINE_PATH)
    message(FATAL_ERROR "COMENUM_WINDOWS needs i686-w64-mingw32-g++ and wine")
  endif()
  include(ExternalProject)
  set(COMENUM_WINDOWS_DIR ${PROJECT_BINARY_DIR}/windows)
  ExternalProject_Add(windows
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${COMENUM_WINDOWS_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/i686-w64-mingw32.cmake
               -DCMAKE_BUILD_TYPE=Release
               -DCOMENUM_WERROR=${COMENUM_WERROR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
endif()
