/* A host in C: packs and unpacks a file and, given a serial device, connects,
 * sends the file with a progress display and hangs up.
 *
 *   xq_host SOURCE PACKED UNPACKED
 *   XMODEMQ_PASSWORD=... xq_host SOURCE PACKED UNPACKED DEVICE USER
 *
 * Exit status: 0 success, 1 failure, 2 usage, 3 line fault, 4 refused.
 * Ctrl-C during the call asks the component to stop (xq_abort), which hangs up.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <xmodemquarvel/xq.h>

static xq_module* g_module;

static void on_interrupt(int signo) {
  (void)signo;
  xq_abort(g_module); /* safe from a signal handler */
}

static void on_error(void* user, const char* description) {
  (void)user;
  fprintf(stderr, "xq_host: %s\n", description);
}

static void on_block(void* user, int32_t* num_bloc) {
  fprintf(stderr, "\r%s : bloc %ld", (const char*)user, (long)*num_bloc);
}

/* The component's error record, after a result other than XQ_RV_TRUE. A
 * string from the library lasts until the next call on the handle: each is
 * printed before the other is read. */
static void report_record(xq_module* module) {
  const char* text = "";
  xq_error_source(module, &text, NULL);
  fprintf(stderr, "%s: ", text);
  xq_error_description(module, &text, NULL);
  fprintf(stderr, "%s\n", text);
}

static int fail(xq_module* module, const char* what) {
  fprintf(stderr, "xq_host: %s : %s\n", what, xq_last_error(module));
  xq_destroy(module);
  return 1;
}

static int send_file(xq_module* module, const char* device, const char* user, const char* file) {
  const char* password = getenv("XMODEMQ_PASSWORD");
  xq_return_value result = XQ_RV_FALSE;
  if (password == NULL) {
    fputs("xq_host: XMODEMQ_PASSWORD n'est pas défini\n", stderr);
    return 2;
  }
  /* A refusal of the device or settings comes through on_error. */
  xq_set_device(module, device);
  xq_set_settings(module, "9600,N,8,1");
  xq_on_bloc_sended(module, on_block, "envoi");

  g_module = module;
  signal(SIGINT, on_interrupt);
  if (xq_connect(module, 3, NULL, NULL, &result) != XQ_OK) return fail(module, "connexion");
  if (result == XQ_RV_TRUE) {
    if (xq_send_file(module, user, password, file, "0", &result) != XQ_OK) {
      /* Only a closed or failing port gets here, for instance after a cut. */
      fprintf(stderr, "\nxq_host: envoi : %s\n", xq_last_error(module));
      result = XQ_RV_FALSE;
    } else {
      fputc('\n', stderr);
      if (result != XQ_RV_TRUE) report_record(module);
    }
  } else {
    report_record(module);
  }
  xq_disconnect(module);
  signal(SIGINT, SIG_DFL);
  g_module = NULL;
  /* XQ_RV_FALSE is 0, which a shell reads as success. */
  return result == XQ_RV_TRUE ? 0 : result == XQ_RV_FALSE ? 1 : (int)result;
}

int main(int argc, char** argv) {
  xq_module* module = NULL;
  int status = 0;
  if (argc != 4 && argc != 6) {
    fputs("utilisation : xq_host SOURCE COMPACTÉ DÉCOMPACTÉ [PÉRIPHÉRIQUE UTILISATEUR]\n", stderr);
    return 2;
  }
  if (xq_create(&module) != XQ_OK) return 1;
  xq_on_error(module, on_error, NULL);
  /* The progress callbacks are called only while trace is on. */
  xq_set_trace(module, 1);
  xq_on_bloc_packed(module, on_block, "compactage");
  xq_on_bloc_unpacked(module, on_block, "décompactage");

  if (xq_pack_file(module, argv[1], argv[2]) != XQ_OK) return fail(module, "compactage");
  fputc('\n', stderr);
  if (xq_unpack_file(module, argv[2], argv[3]) != XQ_OK) return fail(module, "décompactage");
  fputc('\n', stderr);

  if (argc == 6) status = send_file(module, argv[4], argv[5], argv[1]);
  xq_destroy(module);
  return status;
}
