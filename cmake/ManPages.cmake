# The section-3 pages of the C interface: one page per group of functions and
# a link for every other function's name, compressed and linked as Debian
# installs manual pages. xq(3) quotes examples/xq_receive.c, escaped for roff.
set(XMQ_MAN3_PAGES
  "xq:xq_version,xq_version_number"
  "xq_create:xq_create_hosted,xq_destroy,xq_last_error,xq_last_errno"
  "xq_connect:xq_disconnect,xq_port_open,xq_abort"
  "xq_get_wait_state:xq_get_wait_state_sized"
  "xq_send_file:xq_receive_file,xq_receive_file_fd"
  "xq_pack_file:xq_unpack_file"
  "xq_set_device:xq_set_comm_port,xq_set_settings"
  "xq_error_source:xq_error_description"
  "xq_set_trace:xq_set_visible,xq_get_visible,xq_get_trace_text,xq_get_caption,xq_get_data_type,xq_set_data_type"
  "xq_on_error:xq_on_bloc_packed,xq_on_bloc_unpacked,xq_on_bloc_sended,xq_on_bloc_received,xq_on_trace_appended,xq_on_transfer_accepted")

set(xmq_man3 ${PROJECT_BINARY_DIR}/man/man3)
file(READ ${PROJECT_SOURCE_DIR}/examples/xq_receive.c XQ_RECEIVE_EXAMPLE)
string(REPLACE "\\" "\\e" XQ_RECEIVE_EXAMPLE "${XQ_RECEIVE_EXAMPLE}")
string(REPLACE "-" "\\-" XQ_RECEIVE_EXAMPLE "${XQ_RECEIVE_EXAMPLE}")
string(REPLACE "'" "\\(aq" XQ_RECEIVE_EXAMPLE "${XQ_RECEIVE_EXAMPLE}")
string(REGEX REPLACE "\n\\." "\n\\\\&." XQ_RECEIVE_EXAMPLE "${XQ_RECEIVE_EXAMPLE}")
string(REGEX REPLACE "\n$" "" XQ_RECEIVE_EXAMPLE "${XQ_RECEIVE_EXAMPLE}")
math(EXPR XQ_VERSION_NUMBER
  "${PROJECT_VERSION_MAJOR} * 10000 + ${PROJECT_VERSION_MINOR} * 100 + ${PROJECT_VERSION_PATCH}")
configure_file(${PROJECT_SOURCE_DIR}/doc/man3/xq.3.in ${xmq_man3}/roff/xq.3 @ONLY)

find_program(XMQ_GZIP gzip)
set(xmq_man3_files)
foreach(entry ${XMQ_MAN3_PAGES})
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 page)
  list(GET entry 1 aliases)
  string(REPLACE "," ";" aliases "${aliases}")
  if(page STREQUAL "xq")
    set(roff ${xmq_man3}/roff/xq.3)
  else()
    set(roff ${PROJECT_SOURCE_DIR}/doc/man3/${page}.3)
  endif()
  if(XMQ_GZIP)
    set(suffix .3.gz)
    add_custom_command(OUTPUT ${xmq_man3}/${page}.3.gz
      COMMAND ${XMQ_GZIP} -9 -n -c ${roff} > ${xmq_man3}/${page}.3.gz
      DEPENDS ${roff} VERBATIM)
  else()
    set(suffix .3)
    add_custom_command(OUTPUT ${xmq_man3}/${page}.3
      COMMAND ${CMAKE_COMMAND} -E copy ${roff} ${xmq_man3}/${page}.3 DEPENDS ${roff} VERBATIM)
  endif()
  list(APPEND xmq_man3_files ${xmq_man3}/${page}${suffix})
  foreach(alias ${aliases})
    file(CREATE_LINK ${page}${suffix} ${xmq_man3}/${alias}${suffix} SYMBOLIC)
    list(APPEND xmq_man3_links ${xmq_man3}/${alias}${suffix})
  endforeach()
endforeach()
add_custom_target(manpages3 ALL DEPENDS ${xmq_man3_files})
install(FILES ${xmq_man3_files} ${xmq_man3_links} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
  COMPONENT dev)
