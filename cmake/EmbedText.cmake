# Writes a C++ source whose function FUNCTION (declared in HEADER) returns the files INPUTS (a
# list) as a table of EmbeddedFile: file name, content type by extension, bytes. Run as
# `cmake "-DINPUTS=a;b" -DOUTPUT=... -DHEADER=... -DFUNCTION=... -P`.
# The bytes go in as hex arrays, so no content can end a string literal early.
foreach(variable INPUTS OUTPUT HEADER FUNCTION)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "EmbedText.cmake needs -D${variable}=...")
  endif()
endforeach()

set(arrays "")
set(entries "")
set(index 0)
foreach(input IN LISTS INPUTS)
  get_filename_component(name "${input}" NAME)
  get_filename_component(extension "${input}" LAST_EXT)
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  else()
    message(FATAL_ERROR "EmbedText.cmake has no content type for ${name}")
  endif()

  file(READ "${input}" hex HEX)
  # A trailing zero keeps empty files valid C++; it is not counted in the size.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # CMake's regular expressions have no {n}: sixteen bytes a line, spelled out.
  string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "constexpr unsigned char file${index}[] = {\n    ${bytes}0x00};\n")
  string(APPEND entries "      {\"${name}\", \"${type}\", bytes(file${index})},\n")
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}" "// Generated from the files it names at build time; edit those, not this one.
#include \"${HEADER}\"

namespace {

${arrays}
template <std::size_t size>
std::string_view bytes(const unsigned char (&array)[size]) {
  return {reinterpret_cast<const char*>(array), size - 1};
}

}  // namespace

std::span<const tavolin::EmbeddedFile> ${FUNCTION}() {
  static const tavolin::EmbeddedFile files[] = {
${entries}  };
  return files;
}
")
