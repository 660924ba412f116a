# The Windows build's libcurl (Schannel), libxml2 and libzip (with zlib and bzip2): static
# libraries built from Debian's source packages by scripts/build-windows-libs into a cache under
# the build folder, offered under the same target names as the Linux packages.
set(VELANTIA_WINDOWS_LIBS "" CACHE PATH "Prefix of the Windows libraries (empty: build them into the build folder)")
set(_prefix "${VELANTIA_WINDOWS_LIBS}")
if(NOT _prefix)
  execute_process(
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-windows-libs ${CMAKE_BINARY_DIR}/third-party
    OUTPUT_VARIABLE _out RESULT_VARIABLE _rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "scripts/build-windows-libs failed (${_rc})")
  endif()
  string(REGEX REPLACE ".*\n" "" _prefix "${_out}")
endif()
message(STATUS "Windows libraries: ${_prefix}")

function(_vl_import target lib)
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_property(TARGET ${target} PROPERTY IMPORTED_LOCATION ${lib})
  set_property(TARGET ${target} PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${_prefix}/include ${ARGN})
endfunction()

_vl_import(vl_win_zlib /usr/x86_64-w64-mingw32/lib/libz.a)
_vl_import(vl_win_bz2 ${_prefix}/lib/libbz2.a)

_vl_import(CURL::libcurl ${_prefix}/lib/libcurl.a)
set_property(TARGET CURL::libcurl PROPERTY INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB)
set_property(TARGET CURL::libcurl PROPERTY INTERFACE_LINK_LIBRARIES
  ws2_32 crypt32 secur32 bcrypt advapi32 normaliz iphlpapi wldap32)

_vl_import(LibXml2::LibXml2 ${_prefix}/lib/libxml2.a ${_prefix}/include/libxml2)
set_property(TARGET LibXml2::LibXml2 PROPERTY INTERFACE_COMPILE_DEFINITIONS LIBXML_STATIC)
set_property(TARGET LibXml2::LibXml2 PROPERTY INTERFACE_LINK_LIBRARIES ws2_32)

_vl_import(PkgConfig::LIBZIP ${_prefix}/lib/libzip.a)
set_property(TARGET PkgConfig::LIBZIP PROPERTY INTERFACE_LINK_LIBRARIES vl_win_zlib vl_win_bz2 bcrypt advapi32)
