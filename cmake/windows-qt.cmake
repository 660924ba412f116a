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
# That Qt found MinGW's zlib, whose import library the search prefers: the static one instead,
# or the program would need zlib1.dll beside it (Wine has one of its own, Windows has none).
set(ZLIB_LIBRARY_RELEASE /usr/x86_64-w64-mingw32/lib/libz.a CACHE FILEPATH "" FORCE)
set(ZLIB_INCLUDE_DIR /usr/x86_64-w64-mingw32/include CACHE PATH "")
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
# The host's rcc compresses with zstd, which this Qt was built without.
set(CMAKE_AUTORCC_OPTIONS --no-zstd)
