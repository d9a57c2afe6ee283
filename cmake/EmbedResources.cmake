# The library's resources: resources/npKeystrand.rc compiled by llvm-rc into a .res image,
# which is turned into a C++ byte array whose static initialiser registers it with the
# platform layer for the module (shared object or executable) that the object is linked into.
#
# Run as a script (cmake -DNPK_RES=in.res -DNPK_OUT=out.cpp -P EmbedResources.cmake) it
# writes that C++ source.

if(CMAKE_SCRIPT_MODE_FILE)
  file(READ "${NPK_RES}" _hex HEX)
  string(LENGTH "${_hex}" _len)
  math(EXPR _bytes "${_len} / 2")
  # Sixteen bytes to a line keeps the source readable and the regular expression cheap.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _array "${_hex}")
  string(REPEAT "0x[0-9a-f][0-9a-f]," 16 _line)
  string(REGEX REPLACE "(${_line})" "\\1\n    " _array "${_array}")
  file(WRITE "${NPK_OUT}.tmp"
"// Generated from resources/npKeystrand.rc by cmake/EmbedResources.cmake. Do not edit.
#include <windows.h>

namespace {

alignas(8) const BYTE kResourceImage[${_bytes}] = {
    ${_array}
};

__attribute__((constructor)) void RegisterResourceImage()
{
    NpkRegisterModuleResources(kResourceImage, kResourceImage, sizeof kResourceImage);
}

__attribute__((destructor)) void UnregisterResourceImage()
{
    NpkUnregisterModuleResources(kResourceImage);
}

}  // namespace
")
  file(COPY_FILE "${NPK_OUT}.tmp" "${NPK_OUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${NPK_OUT}.tmp")
  return()
endif()

find_program(NPK_LLVM_RC NAMES llvm-rc llvm-rc-16 llvm-rc-15 llvm-rc-14 REQUIRED)

set(_npk_rc_dir ${CMAKE_CURRENT_SOURCE_DIR}/resources)
set(_npk_rc ${_npk_rc_dir}/npKeystrand.rc)
set(_npk_res ${CMAKE_BINARY_DIR}/generated/npKeystrand.res)
set(_npk_res_cpp ${CMAKE_BINARY_DIR}/generated/npKeystrandResources.cpp)
file(GLOB _npk_rc_inputs CONFIGURE_DEPENDS
  ${_npk_rc_dir}/*.h ${_npk_rc_dir}/*.manifest ${_npk_rc_dir}/images/*)

add_custom_command(OUTPUT ${_npk_res}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  # "--" ends the options: llvm-rc reads an absolute Unix path such as /check/... as a /C option.
  COMMAND ${NPK_LLVM_RC} /C 65001 /I ${_npk_rc_dir} /FO ${_npk_res} -- ${_npk_rc}
  DEPENDS ${_npk_rc} ${_npk_rc_inputs}
  WORKING_DIRECTORY ${_npk_rc_dir}
  COMMENT "Compiling resources/npKeystrand.rc"
  VERBATIM)

add_custom_command(OUTPUT ${_npk_res_cpp}
  COMMAND ${CMAKE_COMMAND} -DNPK_RES=${_npk_res} -DNPK_OUT=${_npk_res_cpp} -P ${CMAKE_CURRENT_LIST_FILE}
  DEPENDS ${_npk_res} ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Embedding npKeystrand.res"
  VERBATIM)

add_library(npk_resources OBJECT ${_npk_res_cpp})
target_link_libraries(npk_resources PUBLIC npk_platform)
