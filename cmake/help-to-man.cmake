# Writes a manual page (man(7) roff) for a program from its own --help text, so that the page
# never disagrees with the program. Run at build time:
#
#   cmake -DPROGRAM=<executable> -DNAME=<name> -DSUMMARY=<one line> -DHELP_FLAG=<--help or
#         --help-all> -DVERSION=<version> -DOUTPUT=<file.1> -P cmake/help-to-man.cmake

execute_process(COMMAND ${PROGRAM} ${HELP_FLAG} OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "help-to-man: ${PROGRAM} ${HELP_FLAG} failed (${rc})")
endif()

# roff: a backslash is written \e; a line that starts with a dot or an apostrophe would be a
# request, so it gets a zero-width \& in front.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
# The usage line names the program by the path it was run with.
string(REGEX REPLACE "Usage: [^ \n]*" "Usage: ${NAME}" help "${help}")
string(TOUPPER "${NAME}" title)

file(WRITE ${OUTPUT} ".TH ${title} 1 \"\" \"${NAME} ${VERSION}\" \"User Commands\"
.SH NAME
${NAME} \\- ${SUMMARY}
.SH DESCRIPTION
This page is the program's own help (\\fB${NAME} ${HELP_FLAG}\\fR); the README in
/usr/share/doc/zarn-hd-ip-capture tells more.
.PP
.nf
${help}.fi
.SH EXIT STATUS
0 success, 1 a camera, driver or file failure, 2 a bad command line.
")
