# Writes a C++ source whose function FUNCTION (declared in HEADER) returns the bytes of INPUT as
# a std::string_view. Run as `cmake -DINPUT=... -DOUTPUT=... -DHEADER=... -DFUNCTION=... -P`.
# The bytes go in as a hex array, so no content can end a string literal early.
foreach(variable INPUT OUTPUT HEADER FUNCTION)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "EmbedText.cmake needs -D${variable}=...")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
get_filename_component(input_name "${INPUT}" NAME)

if(hex_length EQUAL 0)
  set(body "  return {};")
else()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # CMake's regular expressions have no {n}: sixteen bytes a line, spelled out.
  string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n      " bytes "${bytes}")
  set(body "  static constexpr unsigned char bytes[] = {\n      ${bytes}};
  return {reinterpret_cast<const char*>(bytes), sizeof bytes};")
endif()

file(WRITE "${OUTPUT}" "// Generated from ${input_name} at build time; edit that file, not this one.
#include \"${HEADER}\"

std::string_view ${FUNCTION}() {
${body}
}
")
