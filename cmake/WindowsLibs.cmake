# Static Windows builds of libcurl (Schannel TLS), TagLib and zlib, made from
# Debian's source packages by scripts/windows-libs.sh the first time (two to
# ten minutes, by the machine's load), then reused by every build folder.
# Defines kiln_win_curl, kiln_win_taglib and kiln_win_zlib, and the header-only
# stb in KILN_STB_INCLUDE_DIR.
set(KILN_WINDOWS_LIBS_DIR ${PROJECT_SOURCE_DIR}/build/windows-libs CACHE PATH
  "Cache of the static Windows libraries")
execute_process(
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/windows-libs.sh ${CMAKE_SYSTEM_PROCESSOR} ${KILN_WINDOWS_LIBS_DIR}
  RESULT_VARIABLE _libs_result)
if(NOT _libs_result EQUAL 0)
  message(FATAL_ERROR "scripts/windows-libs.sh failed for ${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(_prefix ${KILN_WINDOWS_LIBS_DIR}/${CMAKE_SYSTEM_PROCESSOR})

add_library(kiln_win_zlib STATIC IMPORTED)
set_target_properties(kiln_win_zlib PROPERTIES IMPORTED_LOCATION ${_prefix}/lib/libz.a
  INTERFACE_INCLUDE_DIRECTORIES ${_prefix}/include)
add_library(kiln_win_taglib STATIC IMPORTED)
set_target_properties(kiln_win_taglib PROPERTIES IMPORTED_LOCATION ${_prefix}/lib/libtag.a
  INTERFACE_INCLUDE_DIRECTORIES ${_prefix}/include INTERFACE_COMPILE_DEFINITIONS TAGLIB_STATIC)
add_library(kiln_win_curl STATIC IMPORTED)
set_target_properties(kiln_win_curl PROPERTIES IMPORTED_LOCATION ${_prefix}/lib/libcurl.a
  INTERFACE_INCLUDE_DIRECTORIES ${_prefix}/include INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;bcrypt;secur32;advapi32")

# stb is header-only: the build machine's copy, without the rest of /usr/include.
find_path(_stb_headers stb/stb_image.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(COPY ${_stb_headers}/stb DESTINATION ${CMAKE_BINARY_DIR}/third-party-headers)
set(KILN_STB_INCLUDE_DIR ${CMAKE_BINARY_DIR}/third-party-headers)
