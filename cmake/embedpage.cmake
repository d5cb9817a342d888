# Builds the constant parts of the map page (cellfreq --map) into a C++
# source, at build time, from the page's template and the map library's
# files as Debian installs them:
#
#   cmake -DTEMPLATE=webmap.html -DLEAFLET_DIR=/usr/share/javascript/leaflet
#         -DLEAFLET_COPYRIGHT=/usr/share/doc/libjs-leaflet/copyright
#         -DOUTPUT=mappage.cpp -P embedpage.cmake
#
# The template's @LEAFLET_CSS@, @LEAFLET_JS@ and @LEAFLET_LICENCE@ are
# replaced by the library's style sheet (its images inlined as data: URLs,
# so that nothing is fetched), its script (without the source-map comment,
# which would make a browser's developer tools fetch a file) and its
# copyright and licence. The page is cut at @DATA@, where the writer puts
# the map's data, into mappagehead and mappagetail: arrays of string
# literals of at most 4096 bytes, every byte written as \xNN, so that no
# content can end a literal early. Anything that would end the page's
# <script> or <style> element early, or its licence comment, stops the build.
cmake_minimum_required(VERSION 3.25)

function(need path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "embedpage: ${path} is missing (the map page needs it)")
  endif()
endfunction()
foreach(f "${TEMPLATE}" "${LEAFLET_DIR}/leaflet.js" "${LEAFLET_DIR}/leaflet.min.js" "${LEAFLET_DIR}/leaflet.css"
          "${LEAFLET_COPYRIGHT}")
  need("${f}")
endforeach()

# Removes the source-map comment from the variable `var` (the text of
# `file`) and stops the build if, ignoring case, it still matches
# `forbidden`, what would end its element or refer to a file.
function(embeddable var file forbidden)
  string(REGEX REPLACE "\n(//|/\\*)# sourceMappingURL=[^\n]*" "" text "${${var}}")
  string(TOLOWER "${text}" low)
  if(low MATCHES "${forbidden}" OR low MATCHES "sourcemappingurl")
    message(FATAL_ERROR "embedpage: ${file} refers to files or holds text that the page cannot hold")
  endif()
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# The script, without its source-map comment.
file(READ "${LEAFLET_DIR}/leaflet.min.js" js)
embeddable(js leaflet.min.js "</script")

# The style sheet, its images as percent-encoded data: URLs.
file(READ "${LEAFLET_DIR}/leaflet.css" css)
string(REGEX MATCHALL "url\\(images/[A-Za-z0-9_.-]+\\.png\\)" urls "${css}")
list(REMOVE_DUPLICATES urls)
foreach(u IN LISTS urls)
  string(REGEX REPLACE "url\\(images/(.*)\\)" "\\1" name "${u}")
  need("${LEAFLET_DIR}/images/${name}")
  file(READ "${LEAFLET_DIR}/images/${name}" hex HEX)
  string(REGEX REPLACE "(..)" "%\\1" encoded "${hex}")
  string(REPLACE "${u}" "url(data:image/png,${encoded})" css "${css}")
endforeach()
embeddable(css leaflet.css "</style|url\\((['\"]?)(images|https?:|//)")

# The licence: the copyright line of the library's own header and the
# licence text of its Debian copyright file.
file(READ "${LEAFLET_DIR}/leaflet.js" full)
string(REGEX MATCH "/\\* @preserve\n([^*]|\\*[^/])*\\*/" header "${full}")
string(REGEX REPLACE "^/\\* @preserve\n" "" header "${header}")
string(REGEX REPLACE "\n? *\\*/$" "" header "${header}")
string(REGEX REPLACE "(^|\n) \\* ?" "\\1" header "${header}")
file(READ "${LEAFLET_COPYRIGHT}" copyright)
string(REGEX MATCH "\nLicense: BSD-2-clause\n( [^\n]*\n)+" licence "${copyright}")
string(REGEX REPLACE "^\nLicense: BSD-2-clause\n" "" licence "${licence}")
string(REGEX REPLACE "(^|\n) \\.(\n)" "\\1\\2" licence "${licence}")
string(REGEX REPLACE "(^|\n) " "\\1" licence "${licence}")
if(header STREQUAL "" OR licence STREQUAL "")
  message(FATAL_ERROR "embedpage: the map library's copyright or licence was not found")
endif()
set(licence "${header}\n\nLicence (BSD-2-clause):\n${licence}")
if(licence MATCHES "\\*/" OR licence MATCHES "</")
  message(FATAL_ERROR "embedpage: the licence text cannot stand in a comment")
endif()

file(READ "${TEMPLATE}" page)
foreach(mark LEAFLET_CSS LEAFLET_JS LEAFLET_LICENCE DATA)
  string(REGEX MATCHALL "@${mark}@" found "${page}")
  list(LENGTH found n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "embedpage: the template must hold @${mark}@ once")
  endif()
endforeach()
string(REPLACE "@LEAFLET_CSS@" "${css}" page "${page}")
string(REPLACE "@LEAFLET_LICENCE@" "${licence}" page "${page}")
string(REPLACE "@LEAFLET_JS@" "${js}" page "${page}")
string(FIND "${page}" "@DATA@" at)
string(SUBSTRING "${page}" 0 ${at} head)
math(EXPR after "${at} + 6")
string(SUBSTRING "${page}" ${after} -1 tail)

# "NAME[] = {\"\\xNN...\", ...};" of `text`, 4096 bytes a literal.
function(literals name text out)
  file(WRITE "${OUTPUT}.part" "${text}")
  file(READ "${OUTPUT}.part" hex HEX)
  file(REMOVE "${OUTPUT}.part")
  string(LENGTH "${hex}" n)
  set(body "")
  set(at 0)
  while(at LESS n)
    string(SUBSTRING "${hex}" ${at} 8192 piece)
    string(REGEX REPLACE "(..)" "\\\\x\\1" piece "${piece}")
    string(APPEND body "    \"${piece}\",\n")
    math(EXPR at "${at} + 8192")
  endwhile()
  set(${out} "extern const std::string_view ${name}[];\nconst std::string_view ${name}[] = {\n${body}};\n"
      PARENT_SCOPE)
endfunction()
literals(mappagehead "${head}" headcode)
literals(mappagetail "${tail}" tailcode)
string(REGEX MATCHALL "\",\n" heads "${headcode}")
string(REGEX MATCHALL "\",\n" tails "${tailcode}")
list(LENGTH heads nhead)
list(LENGTH tails ntail)
file(WRITE "${OUTPUT}.new"
     "// Generated by cmake/embedpage.cmake from src/analysis/webmap.html and the map library; do not edit.\n"
     "#include <cstddef>\n#include <string_view>\n\nnamespace cellfreq {\n\n"
     "${headcode}extern const std::size_t mappageheadsize;\nconst std::size_t mappageheadsize = ${nhead};\n"
     "${tailcode}extern const std::size_t mappagetailsize;\nconst std::size_t mappagetailsize = ${ntail};\n"
     "\n}  // namespace cellfreq\n")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
