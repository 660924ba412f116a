# Qt for the Windows build: static, built for MinGW-w64 from Debian's qt6-base source by
# scripts/build-windows-qt into the user's cache (about 25 minutes the first time), used with
# the host's moc, rcc and uic of the same version.
set(VELANTIA_WINDOWS_QT "" CACHE PATH "Prefix of Qt built for Windows (empty: build it into the cache)")
set(_qt "${VELANTIA_WINDOWS_QT}")
if(NOT _qt)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-windows-qt
    OUTPUT_VARIABLE _out RESULT_VARIABLE _rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "scripts/build-windows-qt failed (${_rc})")
  endif()
  string(REGEX REPLACE ".*\n" "" _qt "${_out}")
endif()
message(STATUS "Qt for Windows: ${_qt}")
list(PREPEND CMAKE_FIND_ROOT_PATH "${_qt}")
list(PREPEND CMAKE_PREFIX_PATH "${_qt}")
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
