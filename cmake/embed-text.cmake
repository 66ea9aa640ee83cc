# Embeds a text file in C++ as a NUL-terminated char array:
#
#   cmake -DINPUT=file.py -DOUTPUT=file_py.h -DNAME=kIdentifier -P cmake/embed-text.cmake
#
# writes `inline constexpr unsigned char kIdentifier[] = {...};` with the
# file's bytes, unchanged, and a terminating 0. Used for the module's NumPy-level Python (a real .py
# file in the tree, compiled by the interpreter when the module executes).
foreach(var INPUT OUTPUT NAME)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed-text.cmake: set -D${var}=...")
  endif()
endforeach()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" length)
set(body "")
set(at 0)
while(at LESS length)
  string(SUBSTRING "${hex}" ${at} 32 chunk)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," chunk "${chunk}")
  string(APPEND body "    ${chunk}\n")
  math(EXPR at "${at} + 32")
endwhile()
get_filename_component(source "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${source} by cmake/embed-text.cmake: do not edit.\n"
  "#pragma once\n\n"
  "inline constexpr unsigned char ${NAME}[] = {\n${body}    0x00};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
