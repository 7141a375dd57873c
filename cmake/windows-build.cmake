# With the MinGW-w64 cross compiler at hand, the native build also builds the
# Windows program and its test DLL in windows/, so the tests can run them under Wine.
find_program(COMENUM_MINGW_CXX i686-w64-mingw32-g++)
if(COMENUM_MINGW_CXX)
  set(windows_default ON)
else()
  set(windows_default OFF)
endif()
option(COMENUM_WINDOWS "Also cross-build comenum.exe (needs i686-w64-mingw32-g++)" ${windows_default})

if(COMENUM_WINDOWS)
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
