/* Calls into the library from C frames built without unwind tables. */
#include <xmodemquarvel/xq.h>

xq_status ThroughC_SendFile(xq_module* module, const char* file, xq_return_value* result);
xq_status ThroughC_PackFile(xq_module* module, const char* source, const char* packed);

xq_status ThroughC_SendFile(xq_module* module, const char* file, xq_return_value* result) {
  return xq_send_file(module, "PS0001", "mdp", file, "0", result);
}

xq_status ThroughC_PackFile(xq_module* module, const char* source, const char* packed) {
  return xq_pack_file(module, source, packed);
}
