# Writes a C++ source that holds files as std::string_view constants in namespace
# kr::builtin. Run as a script:
#
#   cmake -DOUTPUT=<file.cpp> -DHEADER=<include path> -DSYMBOLS=a,b -DFILES=x,y -P EmbedFiles.cmake
#
# Every byte is written as a hexadecimal escape, so no content can end the literal early and
# no escape can run into the next character.
string(REPLACE "," ";" symbols "${SYMBOLS}")
string(REPLACE "," ";" files "${FILES}")
list(LENGTH symbols count)
list(LENGTH files file_count)
if(NOT count EQUAL file_count)
  message(FATAL_ERROR "EmbedFiles: ${count} symbols for ${file_count} files")
endif()

set(text "// Generated at build time by game/EmbedFiles.cmake; edit the embedded files.\n\n")
string(APPEND text "#include \"${HEADER}\"\n\nnamespace kr::builtin {\n")
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  list(GET symbols ${i} symbol)
  list(GET files ${i} file)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" bytes "${hex}")
  get_filename_component(name "${file}" NAME)
  string(APPEND text "\n// ${name}\n")
  string(APPEND text "const std::string_view ${symbol}{\"${bytes}\", ${size}};\n")
endforeach()
string(APPEND text "\n}  // namespace kr::builtin\n")

file(WRITE "${OUTPUT}" "${text}")
