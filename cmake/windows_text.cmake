# A text file for the Windows archive, with CR LF line ends:
#   cmake -DIN=<file> -DOUT=<file> [-DGROFF=<groff>] -P windows_text.cmake
# With GROFF, IN is a manual page, rendered to plain ASCII text first.
if(GROFF)
  execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${IN}
                  OUTPUT_VARIABLE text RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "groff could not render ${IN}")
  endif()
else()
  file(READ ${IN} text)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
