# Stops the configuration when XMODEMQUARVEL_SERVER_NUMBER is not a telephone
# number the modem can dial: digits only, 1 to 30 of them. Also runs alone:
#   cmake -DXMODEMQUARVEL_SERVER_NUMBER=... -P cmake/CheckServerNumber.cmake
if(NOT XMODEMQUARVEL_SERVER_NUMBER MATCHES "^[0-9]+$")
  message(FATAL_ERROR "XMODEMQUARVEL_SERVER_NUMBER must hold digits only, the server's "
    "telephone number without spaces, dots or dial modifiers (given: "
    "\"${XMODEMQUARVEL_SERVER_NUMBER}\"). A prefix such as 0 for an outside line is "
    "given at run time (Connect's Prefixe, xmodemq --prefix).")
endif()
string(LENGTH "${XMODEMQUARVEL_SERVER_NUMBER}" _xmq_number_length)
if(_xmq_number_length GREATER 30)
  message(FATAL_ERROR "XMODEMQUARVEL_SERVER_NUMBER holds ${_xmq_number_length} digits; "
    "a dial command takes 30 at most.")
endif()
