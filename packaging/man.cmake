# Writes a manual page from a program's --help text.
#   cmake -DPROGRAM=path -DNAME=name -DSECTION=n -DSUMMARY=text -DVERSION=v
#         -DOUTPUT=file -P man.cmake
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help exited with ${result}")
endif()
# roff: a backslash is \e, a minus (options) is \-, and a line must not
# begin with a control character.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" title)
file(WRITE "${OUTPUT}" ".TH ${title} ${SECTION} \"\" \"ZelVCOM ${VERSION}\"\n"
    ".SH NAME\n${NAME} \\- ${SUMMARY}\n"
    ".SH DESCRIPTION\n.nf\n${help}.fi\n")
