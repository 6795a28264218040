# Writes a C++ source that holds the concatenation of INPUTS as one byte
# array, returned by the function FUNCTION in namespace NAMESPACE.
# Run as: cmake -DINPUTS="a;b" -DOUTPUT=x.cpp -DNAMESPACE=ns -DFUNCTION=f -P embed_files.cmake
set(hex "")
foreach(input IN LISTS INPUTS)
  file(READ "${input}" part HEX)
  string(APPEND hex "${part}")
endforeach()
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated at build time from the kernel sources; do not edit.\n"
"#include <string_view>\n\n"
"namespace ${NAMESPACE} {\n"
"namespace {\n"
"const char kBytes[] = {\n${bytes}0x00};\n"
"}  // namespace\n\n"
"std::string_view ${FUNCTION}() { return std::string_view(kBytes, ${byte_count}); }\n\n"
"}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
