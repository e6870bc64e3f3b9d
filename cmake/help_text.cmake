# Turns a program's help text (src/cli/help/NAME.txt, printed by --help as it
# is) into the C++ source that holds it and into the program's man page, so
# that the two cannot say different things. Run at build time with -P, on
# the build machine, whatever the target (cross builds need nothing run on
# the target):
#
#   cmake -DTEXT=... -DPROGRAM=sph2wav -DVERSION=... -DHEADER=cli/front/x.hpp
#         -DHELP_SYMBOL=help_text -DUSAGE_SYMBOL=usage_line -DSEE_ALSO=sph2pipe
#         -DCPP_OUT=... -DMAN_OUT=... -P help_text.cmake
#
# The text's layout is what the page is made of:
#   - the first lines, "usage: ..." and the lines under it indented by seven
#     spaces, are the short usage printed after a usage error, and the
#     page's SYNOPSIS;
#   - the paragraph after them starts with the page's NAME line (up to its
#     first full stop);
#   - a line that ends in ":" after a blank line is a heading ("Options:"
#     and "Examples:" are sections of their own);
#   - an indented line is an item: a term, two spaces or more, and its
#     description, which lines indented to the description (or, after a
#     term alone on its line, further than the term) continue; "- " starts
#     a bullet; under "Examples:", indented lines are shown as they are.
# The text is kept to ASCII, without backslashes (checked here).
cmake_minimum_required(VERSION 3.26)

foreach(required TEXT PROGRAM VERSION HEADER HELP_SYMBOL USAGE_SYMBOL CPP_OUT MAN_OUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "help_text.cmake: ${required} is not set")
  endif()
endforeach()

file(READ "${TEXT}" text)
if(text MATCHES "[\\\\]" OR text MATCHES "\\)korrin_help\"")
  message(FATAL_ERROR "${TEXT}: a backslash or the C++ literal's delimiter")
endif()
if(NOT text MATCHES "\n$")
  message(FATAL_ERROR "${TEXT}: the last line has no newline")
endif()

# roff: backslashes cannot occur; a hyphen is a minus sign (options stay
# typeable); a line may not begin with a control character.
function(roff_escape out value)
  string(REPLACE "-" "\\-" value "${value}")
  if(value MATCHES "^[.']")
    set(value "\\&${value}")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Leading spaces of a line, and the rest.
function(split_indent line indent_out rest_out)
  string(REGEX MATCH "^ *" spaces "${line}")
  string(LENGTH "${spaces}" indent)
  string(SUBSTRING "${line}" ${indent} -1 rest)
  set(${indent_out} ${indent} PARENT_SCOPE)
  set(${rest_out} "${rest}" PARENT_SCOPE)
endfunction()

set(usage "")
set(synopsis "")
set(name_line "")
set(body "")
set(in_usage TRUE)
set(want_name FALSE)
set(previous_blank TRUE)
set(in_examples FALSE)
set(in_items FALSE)     # inside a run of indented items
set(item_indent -1)     # the current item's term column
set(desc_column -1)     # its description's column; -1 for a term alone so far
set(verbatim FALSE)     # inside .nf
set(rest_of_text "${text}")
while(NOT rest_of_text STREQUAL "")
  string(FIND "${rest_of_text}" "\n" newline)
  string(SUBSTRING "${rest_of_text}" 0 ${newline} line)
  math(EXPR next "${newline} + 1")
  string(SUBSTRING "${rest_of_text}" ${next} -1 rest_of_text)

  if(in_usage)
    set(form "")
    if(usage STREQUAL "" AND line MATCHES "^[Uu]sage: (.*)$")
      set(form "${CMAKE_MATCH_1}")
    elseif(NOT usage STREQUAL "" AND line MATCHES "^       ([^ ].*)$")
      set(form "${CMAKE_MATCH_1}")
    endif()
    if(NOT form STREQUAL "")
      string(APPEND usage "${line}\n")
      roff_escape(form "${form}")
      string(APPEND synopsis "${form}\n")
      continue()
    endif()
    set(in_usage FALSE)
    set(want_name TRUE)
  endif()

  if(line STREQUAL "")
    if(verbatim)
      string(APPEND body ".fi\n.RE\n")
      set(verbatim FALSE)
    endif()
    set(in_items FALSE)
    set(previous_blank TRUE)
    continue()
  endif()

  if(want_name)
    string(REGEX MATCH "^([^.]|[.][^ \n])*[.]" first_sentence "${line}\n${rest_of_text}")
    string(REGEX REPLACE "[ \n]+" " " first_sentence "${first_sentence}")
    string(SUBSTRING "${first_sentence}" 1 -1 tail)
    string(SUBSTRING "${first_sentence}" 0 1 head)
    string(TOLOWER "${head}" head)
    string(REGEX REPLACE "\\.$" "" tail "${tail}")
    roff_escape(name_line "${head}${tail}")
    string(APPEND body ".SH DESCRIPTION\n")
    set(want_name FALSE)
  endif()

  split_indent("${line}" indent content)
  if(indent EQUAL 0)
    if(verbatim)
      string(APPEND body ".fi\n.RE\n")
      set(verbatim FALSE)
    endif()
    if(previous_blank AND content MATCHES "^(.*):$")
      set(heading "${CMAKE_MATCH_1}")
      set(in_examples FALSE)
      if(heading MATCHES "^[A-Za-z]+$")
        string(TOUPPER "${heading}" heading)
        string(APPEND body ".SH ${heading}\n")
        if(heading STREQUAL "EXAMPLES")
          set(in_examples TRUE)
        endif()
      else()
        roff_escape(heading "${heading}")
        string(APPEND body ".SS \"${heading}\"\n")
      endif()
    else()
      if(previous_blank OR in_items)
        string(APPEND body ".PP\n")
      endif()
      roff_escape(escaped "${content}")
      string(APPEND body "${escaped}\n")
    endif()
    set(in_items FALSE)
  elseif(in_examples)
    if(NOT verbatim)
      string(APPEND body ".PP\n.nf\n.RS 2\n")
      set(verbatim TRUE)
    endif()
    math(EXPR shown "${indent} - 2")
    string(REPEAT " " ${shown} pad)
    roff_escape(escaped "${pad}${content}")
    string(APPEND body "${escaped}\n")
  elseif(in_items AND ((desc_column GREATER 0 AND indent GREATER_EQUAL desc_column)
                       OR (desc_column LESS 0 AND indent GREATER item_indent)))
    # The current item's description goes on.
    if(desc_column LESS 0)
      set(desc_column ${indent})
    endif()
    roff_escape(escaped "${content}")
    string(APPEND body "${escaped}\n")
  else()
    # A new item.
    set(in_items TRUE)
    set(item_indent ${indent})
    if(content MATCHES "^- (.*)$")
      math(EXPR desc_column "${indent} + 2")
      roff_escape(escaped "${CMAKE_MATCH_1}")
      string(APPEND body ".IP \\(bu 2\n${escaped}\n")
    else()
      string(FIND "${content}" "  " gap)
      if(gap LESS 0)
        set(term "${content}")
        set(description "")
        set(desc_column -1)
      else()
        string(SUBSTRING "${content}" 0 ${gap} term)
        string(SUBSTRING "${content}" ${gap} -1 description)
        split_indent("${description}" more description)
        math(EXPR desc_column "${indent} + ${gap} + ${more}")
      endif()
      roff_escape(term "${term}")
      string(APPEND body ".TP\n\\fB${term}\\fR\n")
      if(NOT description STREQUAL "")
        roff_escape(description "${description}")
        string(APPEND body "${description}\n")
      endif()
    endif()
  endif()
  set(previous_blank FALSE)
endwhile()
if(verbatim)
  string(APPEND body ".fi\n.RE\n")
endif()
if(usage STREQUAL "" OR name_line STREQUAL "")
  message(FATAL_ERROR "${TEXT}: no usage lines, or no paragraph after them")
endif()

string(TOUPPER "${PROGRAM}" title)
set(page ".\\\" Made from ${PROGRAM}'s --help text by cmake/help_text.cmake: edit that text.\n")
string(APPEND page ".TH ${title} 1 \"\" \"korrin_native ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\n${PROGRAM} \\- ${name_line}\n")
string(APPEND page ".SH SYNOPSIS\n.nf\n${synopsis}.fi\n")
string(APPEND page "${body}")
if(DEFINED SEE_ALSO AND NOT SEE_ALSO STREQUAL "")
  string(APPEND page ".SH \"SEE ALSO\"\n.BR ${SEE_ALSO} (1)\n")
endif()

set(source "// Made from ${PROGRAM}'s help text by cmake/help_text.cmake: edit that text.\n")
string(APPEND source "#include \"${HEADER}\"\n\nnamespace korrin::cli {\n\n")
string(APPEND source "const char ${HELP_SYMBOL}[] = R\"korrin_help(${text})korrin_help\";\n\n")
string(APPEND source "const char ${USAGE_SYMBOL}[] = R\"korrin_help(${usage})korrin_help\";\n\n")
string(APPEND source "}  // namespace korrin::cli\n")

file(WRITE "${CPP_OUT}" "${source}")
file(WRITE "${MAN_OUT}" "${page}")
