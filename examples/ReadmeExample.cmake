# Fails unless README (the README or a guide) quotes EXAMPLE exactly, in a
# FENCE code block (cpp by default): what a reader copies from the text is the
# file that is built or tested.
if(NOT FENCE)
  set(FENCE cpp)
endif()
file(READ ${README} readme)
file(READ ${EXAMPLE} example)
string(FIND "${readme}" "```${FENCE}\n${example}```\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${README} does not quote ${EXAMPLE} as it is")
endif()
