# Fails unless README.md quotes examples/send_file.cpp, which is built, exactly:
# the C++ a reader copies from the README then compiles as shown.
file(READ ${README} readme)
file(READ ${EXAMPLE} example)
string(FIND "${readme}" "```cpp\n${example}```\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not quote ${EXAMPLE} as it is")
endif()
