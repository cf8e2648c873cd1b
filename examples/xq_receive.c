/* Receives one file from the server as a host with work of its own does: the
 * yield callback runs at least every 50 ms during every wait (here it redraws
 * a status line from the wait's state), and Ctrl-C or SIGTERM asks the
 * component to stop, which hangs up within 2 s and keeps the blocks received;
 * the same command later resumes.
 *
 *   XMODEMQ_PASSWORD=... xq_receive DEVICE USER FILE
 *
 * Exit status: 0 received, 1 failure, 2 usage, 3 line fault, 4 refused,
 * 130 interrupted.
 */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <xmodemquarvel/xq.h>

/* What the signal handler may touch: a handle and a flag. */
static xq_module* volatile g_module;
static volatile sig_atomic_t g_interrupted;

static void on_signal(int signo) {
  (void)signo;
  g_interrupted = 1;
  if (g_module != NULL) xq_abort(g_module); /* async-signal-safe */
}

struct progress {
  xq_module* module;
  long blocks;
};

/* The host's own work between two passes of a wait: here, a status line. */
static void on_yield(void* user) {
  struct progress* p = user;
  xq_wait_state w;
  if (xq_get_wait_state(p->module, &w) != XQ_OK) return;
  if (w.awaiting == XQ_AWAIT_MODEM)
    fprintf(stderr, "\r%s : attend %s, essai %d/%d, encore %lld s   ", w.sent, w.expected,
            (int)w.attempt, (int)w.attempts, (long long)(w.remaining_ms + 999) / 1000);
  else if (w.awaiting == XQ_AWAIT_SERVER)
    fprintf(stderr, "\r%ld blocs reçus, attend %s (essai %d/%d)   ", p->blocks, w.expected,
            (int)w.attempt, (int)w.attempts);
}

static void on_block(void* user, int32_t* num_bloc) {
  ((struct progress*)user)->blocks = *num_bloc;
}

static void on_accepted(void* user, char direction, int64_t position) {
  (void)user;
  (void)direction;
  if (position > 0) fprintf(stderr, "reprise après %lld blocs\n", (long long)position);
}

static void on_error(void* user, const char* description) {
  (void)user;
  fprintf(stderr, "xq_receive: %s\n", description);
}

static void catch_signals(void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, NULL);
  sigaction(SIGTERM, &action, NULL);
}

int main(int argc, char** argv) {
  struct progress progress = {NULL, 0};
  const char* password = getenv("XMODEMQ_PASSWORD");
  const char* text = "";
  xq_module* module = NULL;
  xq_return_value result = XQ_RV_FALSE;
  int open = 0;

  if (argc != 4 || password == NULL) {
    fputs("utilisation : XMODEMQ_PASSWORD=... xq_receive PÉRIPHÉRIQUE UTILISATEUR FICHIER\n",
          stderr);
    return 2;
  }
  if (strcmp(xq_version(), XQ_VERSION) != 0)
    fprintf(stderr, "xq_receive: compilé avec %s, lancé avec %s\n", XQ_VERSION, xq_version());
  if (xq_create_hosted(on_yield, &progress, 50, &module) != XQ_OK) return 1;
  progress.module = module;
  xq_on_error(module, on_error, NULL);
  xq_set_device(module, argv[1]);
  xq_set_trace(module, 1); /* the progress callbacks run only while trace is on */
  xq_on_bloc_received(module, on_block, &progress);
  xq_on_transfer_accepted(module, on_accepted, NULL);

  g_module = module;
  catch_signals(on_signal);
  if (xq_connect(module, 3, NULL, NULL, &result) == XQ_OK && result == XQ_RV_TRUE &&
      xq_receive_file(module, argv[2], password, argv[3], "0", &result) != XQ_OK) {
    /* A closed or failing port, or a file that cannot be written. */
    fprintf(stderr, "\nxq_receive: %s\n", xq_last_error(module));
    result = XQ_RV_FALSE;
  }
  fputc('\n', stderr);
  if (result != XQ_RV_TRUE) {
    /* Each string lasts until the next call on the handle: print it first. */
    xq_error_source(module, &text, NULL);
    fprintf(stderr, "%s: ", text);
    xq_error_description(module, &text, NULL);
    fprintf(stderr, "%s\n", text);
  }
  /* A clean close: an orderly hang-up when the line is still open. */
  if (xq_port_open(module, &open) == XQ_OK && open) xq_disconnect(module);
  catch_signals(SIG_DFL);
  g_module = NULL;
  xq_destroy(module);

  if (g_interrupted) return 130;
  if (result == XQ_RV_TRUE) return 0;
  return result == XQ_RV_FALSE ? 1 : (int)result; /* XQ_RV_FALSE is 0 */
}
