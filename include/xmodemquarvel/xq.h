#ifndef XMODEMQUARVEL_XQ_H
#define XMODEMQUARVEL_XQ_H

/**
 * @file
 * The C interface: one opaque handle per ModuleXmodem object, for C hosts and
 * for every language that calls C (P/Invoke, JNA, ctypes, Delphi). The manual
 * page xq(3) is the guide; each function's page (xq_connect(3)...) repeats
 * what is said here.
 *
 * Conventions:
 * - Every function returns an ::xq_status: XQ_OK, or a negative code for a
 *   failure that the C++ interface throws. The French message of that failure
 *   is read with xq_last_error(). Result codes of the component itself
 *   (XQ_RV_*) come through an out parameter, with XQ_OK as the status.
 * - Out parameters are written on every status, whenever they are not NULL:
 *   a result gets the component's result (XQ_OK, XQ_ERR_CALLBACK) or
 *   XQ_RV_FALSE (every other status); a string gets "" and its length 0, a
 *   flag 0, a handle NULL and a wait's state XQ_AWAIT_NOTHING on a status
 *   other than XQ_OK.
 * - Texts in and out are NUL-terminated UTF-8. A string returned by the
 *   library is owned by the handle and stays valid until the next call on the
 *   same handle (from any callback too) or xq_destroy(); copy it to keep it.
 *   The one exception is xq_version(), whose text is static.
 * - The error record (xq_error_source(), xq_error_description()) is the
 *   component's own report of Connect, SendFile and ReceiveFile, kept per
 *   thread and shared by every handle used on that thread. xq_last_error() is
 *   the handle's report of the last call that failed with a status.
 * - Booleans are int: 0 is false, anything else true.
 * - No C++ exception ever leaves a function of this interface, and none ever
 *   reaches a callback's caller: an exception that a callback throws (a
 *   callback written in C++) is caught where the library calls it, asks the
 *   running operation to stop as xq_abort() does, and makes that operation's
 *   function return XQ_ERR_CALLBACK.
 * - Any function that takes a handle may also return XQ_ERR_MEMORY.
 *
 * Threads: handles may be used on several threads at once; one handle is
 * used by one thread at a time, callbacks included. xq_abort() is the
 * exception: any thread, and a signal handler, may call it, but never while
 * or after xq_destroy() frees the same handle; the host makes the two
 * exclusive (see xq_abort()). Callbacks run on the thread that called the
 * function, from inside it.
 *
 * Reentrancy: from inside any callback of a handle (its yield callback and
 * every event, whichever function raised it) the six operations
 * xq_connect(), xq_send_file(), xq_receive_file(), xq_receive_file_fd(),
 * xq_pack_file() and xq_unpack_file(), and xq_destroy(), return XQ_ERR_BUSY
 * and do nothing. Every other function may be called there. xq_disconnect()
 * is allowed (the running transfer then fails), but xq_abort() is the way to
 * stop an operation.
 */

#include <stddef.h>
#include <stdint.h>

#include "xmodemquarvel/Export.h"
#include "xmodemquarvel/Version.h"

/** The version a host compiles against, "MAJOR.MINOR.PATCH"; compare it
    with xq_version(), the version of the library it runs with. */
#define XQ_VERSION XMODEMQUARVEL_VERSION_STRING
/** The same as one number for the preprocessor: MAJOR * 10000 + MINOR * 100
    + PATCH (20000 for 2.0.0); xq_version_number() is the library's. */
#define XQ_VERSION_NUMBER                                                    \
  (XMODEMQUARVEL_VERSION_MAJOR * 10000 + XMODEMQUARVEL_VERSION_MINOR * 100 + \
   XMODEMQUARVEL_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/** One ModuleXmodem object; created by xq_create(), freed by xq_destroy(). */
typedef struct xq_module xq_module;

/** What every function returns: XQ_OK or one of the XQ_ERR_* codes. */
typedef int32_t xq_status;

/** The status codes. */
enum xq_status_code {
  /** The call did its work (the component's own result may still be a failure). */
  XQ_OK = 0,
  /** A required pointer or text was NULL. Nothing was done. */
  XQ_ERR_ARGUMENT = -1,
  /** Called from inside a callback of the same handle, where the six
      operations and xq_destroy() are refused. Nothing was done. */
  XQ_ERR_BUSY = -2,
  /** A file could not be opened, created, read or written, or a packed file's
      end block is corrupt. */
  XQ_ERR_FILE = -3,
  /** The serial port is closed (SendFile or ReceiveFile without a connection)
      or failed. */
  XQ_ERR_PORT = -4,
  /** A callback threw a C++ exception; its message is in xq_last_error().
      The operation ended as after xq_abort(), and its result was still set. */
  XQ_ERR_CALLBACK = -5,
  /** Memory ran out. */
  XQ_ERR_MEMORY = -6,
  /** Any other failure inside the library. */
  XQ_ERR_INTERNAL = -7
};

/** A result of the component: one of the XQ_RV_* values. */
typedef int32_t xq_return_value;

/** The component's results (ReturnValues). */
enum xq_return_values {
  XQ_RV_FALSE = 0, /**< failure: no answer, ten attempts, a wrong count, an abort */
  XQ_RV_TRUE = 1,  /**< success */
  XQ_RV_TIMER = 2, /**< a modem answer timed out (never returned by a function here) */
  XQ_RV_CTS = 3,   /**< line or modem fault: CTS low, carrier lost, "ERROR", no dial tone */
  XQ_RV_REFUSE = 4 /**< the server refused the transfer */
};

/** The server's verdicts (StatusValues), the N of "Transfert refusé, status N". */
enum xq_status_values {
  XQ_SV_ACCEPT = 0,             /**< accepted */
  XQ_SV_FALSE_PROTOCOL = 1,     /**< protocol version refused */
  XQ_SV_FALSE_USER = 2,         /**< unknown user */
  XQ_SV_FALSE_PASSWORD = 3,     /**< wrong password */
  XQ_SV_FALSE_SENS = 4,         /**< direction refused */
  XQ_SV_FALSE_REPRISE = 5,      /**< resume position refused */
  XQ_SV_FILE_NOT_EXISTS = 6,    /**< no such file on the server */
  XQ_SV_ALREADY_TRANSMITED = 7, /**< the file was already sent */
  XQ_SV_FALSE_QUALIFICATION = 8 /**< qualification refused */
};

/** The modem's states (ModemModeValues). */
enum xq_modem_mode_values {
  XQ_MMV_COMMANDE = 0, /**< command mode */
  XQ_MMV_CONNECTE = 1  /**< connected to the server */
};

/** Called on every pass of every wait, at least every max_yield_interval_ms:
    the host's event loop runs here. May call xq_abort(). */
typedef void (*xq_yield_callback)(void* user);
/** The Error event: @p description is the French text, valid during the call. */
typedef void (*xq_error_callback)(void* user, const char* description);
/** A progress event: @p num_bloc points to the running block count, which the
    callback may change (later events then count on from the new value). */
typedef void (*xq_bloc_callback)(void* user, int32_t* num_bloc);
/** A piece of text appended to the trace text: @p text is NUL-terminated and
    @p length bytes long, valid during the call. */
typedef void (*xq_trace_callback)(void* user, const char* text, size_t length);
/** The server accepted a transfer: @p direction is 'E' (send) or 'R'
    (receive), @p position the server's position in blocks. May call
    xq_abort() to stop before any data move. */
typedef void (*xq_transfer_accepted_callback)(void* user, char direction, int64_t position);

/* ---- Library and handles ------------------------------------------------ */

/**
 * The version of the library the host runs with, "MAJOR.MINOR.PATCH" (see
 * XQ_VERSION for the one it was compiled against). Never NULL; the text is
 * static and may be called from any thread, before any handle exists.
 */
XMODEMQUARVEL_API const char* xq_version(void);

/**
 * The same as one number, MAJOR * 10000 + MINOR * 100 + PATCH (20000 for
 * 2.0.0): the library the host runs with, to compare with XQ_VERSION_NUMBER,
 * the one it was compiled against. The major version is the shared library's
 * (libxmodemquarvel.so.MAJOR): a host runs with any library of its major and
 * a minor at least its own.
 */
XMODEMQUARVEL_API int32_t xq_version_number(void);

/**
 * Creates an object with the default host: the monotonic clock, the POSIX
 * serial port /dev/ttyS0 (port 1) at "9600,N,8,1", no yield callback (a wait
 * blocks until input, its deadline or xq_abort()). Opens nothing.
 * @param[out] out receives the handle, to free with xq_destroy(); NULL on
 *   every other status.
 * @return XQ_OK; XQ_ERR_ARGUMENT when @p out is NULL; XQ_ERR_MEMORY;
 *   XQ_ERR_INTERNAL when the system refuses the descriptor that wakes a wait
 *   on an abort (no descriptor left).
 */
XMODEMQUARVEL_API xq_status xq_create(xq_module** out);

/**
 * Creates an object whose waits call @p yield (with @p user) on every pass and
 * block at most @p max_yield_interval_ms between two calls (0 or less: until
 * input, the timer or an abort, and at least hourly); a pass also takes at
 * most 256 received bytes, so a line that floods cannot stretch it. @p yield
 * may be NULL: then the interval does not matter.
 * @param[out] out receives the handle, to free with xq_destroy().
 * @return as xq_create().
 */
XMODEMQUARVEL_API xq_status xq_create_hosted(xq_yield_callback yield, void* user,
                                             int32_t max_yield_interval_ms, xq_module** out);

/**
 * Frees the handle and every string it returned. When the port is open, drops
 * DTR, closes the port and keeps it closed for half a second before it
 * returns, so that the modem hangs up even when another handle opens the same
 * device at once; no callback runs meanwhile. Never while an xq_abort() of
 * the same handle may run (see xq_abort()).
 * @return XQ_OK (also for NULL); XQ_ERR_BUSY, freeing nothing, when called
 *   from inside one of the handle's callbacks.
 */
XMODEMQUARVEL_API xq_status xq_destroy(xq_module* module);

/**
 * The French message of the last call on @p module that returned a status
 * other than XQ_OK; "" after a call that succeeded, with one exception: after
 * an xq_connect() that returned XQ_OK with XQ_RV_FALSE because the serial
 * port failed, it holds the Error event's text and the port's reason
 * ("Connexion impossible : Le port /dev/ttyUSB0 n'existe pas"), which the
 * error record no longer holds. Never NULL. The string belongs to the handle
 * and lasts until its next call. Not for use from another thread than the
 * handle's.
 */
XMODEMQUARVEL_API const char* xq_last_error(const xq_module* module);

/**
 * The operating system's error number (an errno value: ENOENT, EACCES,
 * EBUSY...) of the failure that xq_last_error() describes, when it has one:
 * XQ_ERR_FILE and XQ_ERR_PORT mostly; 0 after a call that succeeded and for
 * a failure without one. EINVAL for a NULL @p module. Not for use from
 * another thread than the handle's.
 */
XMODEMQUARVEL_API int xq_last_errno(const xq_module* module);

/* ---- Error record ------------------------------------------------------ */

/**
 * The source of the calling thread's error record ("Xmodem: Connect",
 * "Xmodem: SendFile", "Xmodem: ReceiveFile", "Port série" while an Error
 * callback relays a refusal, or ""). Changes nothing.
 * @param[out] out the text, owned by the handle; "" on a failure.
 * @param[out] length its length in bytes (0 on a failure); may be NULL.
 * @return XQ_OK; XQ_ERR_ARGUMENT when @p module or @p out is NULL.
 */
XMODEMQUARVEL_API xq_status xq_error_source(xq_module* module, const char** out, size_t* length);

/**
 * The description of the calling thread's error record: the French reason of
 * the last failure, two messages separated by CR LF. As xq_error_source().
 */
XMODEMQUARVEL_API xq_status xq_error_description(xq_module* module, const char** out,
                                                 size_t* length);

/* ---- Properties -------------------------------------------------------- */

/** Shows or hides the trace window (a flag without a window). While it is
    set, transfers also write wrong answers to the trace text in hexadecimal.
    @return XQ_OK; XQ_ERR_ARGUMENT. */
XMODEMQUARVEL_API xq_status xq_set_visible(xq_module* module, int visible);
/** Whether the trace window is shown (0 on a new handle; 0 on a failure).
    @return XQ_OK; XQ_ERR_ARGUMENT. */
XMODEMQUARVEL_API xq_status xq_get_visible(xq_module* module, int* out);

/** Switches the four progress callbacks on or off (off on a new handle); they
    are called only while it is on. @return XQ_OK; XQ_ERR_ARGUMENT. */
XMODEMQUARVEL_API xq_status xq_set_trace(xq_module* module, int on);

/**
 * Whether the serial port is open: from an xq_connect() that gave XQ_RV_TRUE
 * (or stopped at "Erreur dans la chaine d'initialisation") until
 * xq_disconnect(), a failure that dropped the line, or an abort. A host that
 * finds it open calls xq_disconnect() for an orderly hang-up before
 * xq_destroy().
 * @param[out] out 1 when open, 0 when closed (0 on a failure).
 * @return XQ_OK; XQ_ERR_ARGUMENT.
 */
XMODEMQUARVEL_API xq_status xq_port_open(xq_module* module, int* out);

/**
 * Selects the serial port by number (N is /dev/ttyS<N-1>). Empties the error
 * record. A refusal (port open, N outside 1 to 255) is not a status: the Error
 * callback gets "Le port N n'est pas disponible" (the record then holds
 * "Port série" and the reason) and the port is unchanged. The record is empty
 * on return. On success the caption becomes "Xmodem KOVA-CNAMTS Com N".
 * @return XQ_OK, refused or not; XQ_ERR_ARGUMENT; XQ_ERR_CALLBACK.
 */
XMODEMQUARVEL_API xq_status xq_set_comm_port(xq_module* module, int32_t port);

/** Selects the serial device by path, or a line on a terminal server by
    "rfc2217://HOST:PORT" (with "?nomodemlines" for a line without modem
    lines), as ModuleXmodem::Device(); as xq_set_comm_port(), the Error text
    being "Le port PATH n'est pas disponible". */
XMODEMQUARVEL_API xq_status xq_set_device(xq_module* module, const char* path);

/**
 * Sets the line settings "baud,parity,data,stop" ("9600,N,8,1"). Empties the
 * error record. A refusal calls the Error callback with "Les paramètres TEXT
 * ne sont pas valides" and keeps the previous settings; the record is empty on
 * return. @return XQ_OK, refused or not; XQ_ERR_ARGUMENT; XQ_ERR_CALLBACK.
 */
XMODEMQUARVEL_API xq_status xq_set_settings(xq_module* module, const char* settings);

/**
 * The packing type of the opening record: one character, U+0000 on a new
 * handle (then *out is "" and *length 1), overwritten by every transfer.
 * @param[out] out the character as UTF-8, owned by the handle; "" on a
 *   failure.
 * @param[out] length its length in bytes (0 on a failure); may be NULL.
 * @return XQ_OK; XQ_ERR_ARGUMENT.
 */
XMODEMQUARVEL_API xq_status xq_get_data_type(xq_module* module, const char** out, size_t* length);
/** Stores the first character of @p value as the packing type (a space when
    @p value is ""). It never reaches the server. @return XQ_OK; XQ_ERR_ARGUMENT. */
XMODEMQUARVEL_API xq_status xq_set_data_type(xq_module* module, const char* value);

/** The trace window's caption ("Trace Xmodem - Quarvel" on a new handle), as
    xq_error_source(). */
XMODEMQUARVEL_API xq_status xq_get_caption(xq_module* module, const char** out, size_t* length);
/** The trace text: the modem's answer lines since the last xq_connect() began,
    as xq_error_source(). */
XMODEMQUARVEL_API xq_status xq_get_trace_text(xq_module* module, const char** out, size_t* length);

/* ---- Callbacks --------------------------------------------------------- */

/** Sets the Error callback (NULL removes it). Called by xq_set_comm_port(),
    xq_set_device(), xq_set_settings() on a refusal, and by xq_connect() with
    "Connexion impossible" when the serial port fails. Each registration
    function returns XQ_OK, or XQ_ERR_ARGUMENT when @p module is NULL; a
    callback may replace or remove itself. */
XMODEMQUARVEL_API xq_status xq_on_error(xq_module* module, xq_error_callback callback, void* user);
/** Called after each source block of xq_pack_file(), while trace is on. */
XMODEMQUARVEL_API xq_status xq_on_bloc_packed(xq_module* module, xq_bloc_callback callback,
                                              void* user);
/** Called after each packed block that xq_unpack_file() reads (the count is of
    packed blocks), while trace is on. */
XMODEMQUARVEL_API xq_status xq_on_bloc_unpacked(xq_module* module, xq_bloc_callback callback,
                                                void* user);
/** Called after each data block that the server acknowledged during
    xq_send_file(), with the blocks the server holds, while trace is on. */
XMODEMQUARVEL_API xq_status xq_on_bloc_sended(xq_module* module, xq_bloc_callback callback,
                                              void* user);
/** Called after each data block that xq_receive_file() wrote, with the blocks
    the file holds, while trace is on. */
XMODEMQUARVEL_API xq_status xq_on_bloc_received(xq_module* module, xq_bloc_callback callback,
                                                void* user);
/** Called with each piece of text appended to the trace text. */
XMODEMQUARVEL_API xq_status xq_on_trace_appended(xq_module* module, xq_trace_callback callback,
                                                 void* user);
/** Called once per xq_send_file() or xq_receive_file(), after the server's
    response accepted the transfer and before the first data frame, whatever
    trace says: 'E' and the blocks the server already holds of a send, or 'R'
    and the block after which a receive goes on. Calling xq_abort() there stops
    the transfer before any data move: the operation returns XQ_RV_FALSE with
    "Opération interrompue", hung up, a receive's file untouched. */
XMODEMQUARVEL_API xq_status xq_on_transfer_accepted(xq_module* module,
                                                    xq_transfer_accepted_callback callback,
                                                    void* user);

/* ---- Operations -------------------------------------------------------- */

/**
 * Packs @p source into @p packed (created or emptied). Does not touch the
 * error record and does not wait; xq_abort() stops it before its next
 * megabyte.
 * @return XQ_OK; XQ_ERR_FILE with the French reason in xq_last_error()
 *   ("Fichier introuvable : PATH", the target then untouched; "Impossible de
 *   créer PATH"...; "Opération interrompue" after xq_abort(); the whole
 *   blocks packed before a failure stay in the target); XQ_ERR_BUSY from
 *   inside a callback (nothing done); XQ_ERR_CALLBACK (a callback threw: the
 *   packing stopped as after xq_abort()); XQ_ERR_ARGUMENT.
 */
XMODEMQUARVEL_API xq_status xq_pack_file(xq_module* module, const char* source, const char* packed);

/**
 * Unpacks @p source into @p unpacked (created or emptied): the original,
 * filled with spaces to a multiple of 128 bytes. Any input is accepted without
 * complaint (a damaged file gives wrong characters) except an end block whose
 * count is above 127: XQ_ERR_FILE with "Argument ou appel de procédure
 * incorrect", the blocks decoded before it kept. Otherwise as xq_pack_file().
 */
XMODEMQUARVEL_API xq_status xq_unpack_file(xq_module* module, const char* source,
                                           const char* unpacked);

/**
 * Opens the port, resets ("ATZ") and initialises the modem (@p init_string,
 * NULL or "" for none), and dials @p prefix (NULL or "" for none) and the
 * server's number, fixed when the library was built. Each command is tried up
 * to @p tentatives + 1 times (n, at least 2); "BUSY" and "DELAYED" extend a
 * command's wait to 105 s only in its first 15 minutes. Ends within 5 s (a
 * remote line's opening) + n × 2 s + 1 s + n × 2 s + n × 60 s + 15 min 105 s,
 * whatever the modem sends: 21 min 7 s with @p tentatives 3. Empties the
 * error record and the trace text, then writes source "Xmodem: Connect".
 * @param[out] result XQ_RV_TRUE: connected, the port open. XQ_RV_FALSE or
 *   XQ_RV_CTS: the description says why and the port is closed, except after
 *   "Erreur dans la chaine d'initialisation TEXT" (still open: call
 *   xq_disconnect()). XQ_RV_FALSE after a failure of the serial port (missing
 *   or busy device): the Error callback got "Connexion impossible" with the
 *   reason in the record, and the record is **empty** on return; the reason
 *   is then in xq_last_error() ("Connexion impossible : REASON"). XQ_RV_FALSE
 *   with "Opération interrompue" after xq_abort(): hung up. XQ_RV_FALSE on
 *   every status other than XQ_OK and XQ_ERR_CALLBACK.
 * @return XQ_OK; XQ_ERR_CALLBACK (@p result set by the component too);
 *   XQ_ERR_BUSY from inside a callback (nothing done); XQ_ERR_ARGUMENT when
 *   @p module or @p result is NULL.
 */
XMODEMQUARVEL_API xq_status xq_connect(xq_module* module, int32_t tentatives, const char* prefix,
                                       const char* init_string, xq_return_value* result);

/**
 * Hangs up: drops DTR, pauses 0.5 s and closes the port if it is open, then
 * pauses 1 s (the yield callback runs meanwhile): 1.5 s, and at most 10 s
 * more on a remote line whose server takes nothing. Touches no error record.
 * Allowed from a callback. @return XQ_OK; XQ_ERR_PORT when the port fails;
 * XQ_ERR_CALLBACK when the yield callback threw; XQ_ERR_ARGUMENT.
 */
XMODEMQUARVEL_API xq_status xq_disconnect(xq_module* module);

/**
 * Sends @p file_name to the server as user @p user_id with password @p psw
 * and packing type @p pack_type (one character announced to the server; the
 * file is sent as it is). The opening record carries the file's base name cut
 * to 17 characters, @p user_id and @p psw cut to 40 each, and '?' for a
 * character outside Windows-1252, without a word: a host that must not send a
 * changed name checks it first. Only whole 128-byte records are sent. **A
 * missing file is created empty and sent as no blocks, with XQ_RV_TRUE.** Writes source "Xmodem: SendFile"
 * into the error record without emptying it first. Each exchange with the
 * server (six for the opening, one per block, three for the end) ends within
 * 10 attempts of 10 s, and at most 10 restarts of them when the server
 * repeats the frame before, whatever it sends; then the hang-up, 1.5 s.
 * @param[out] result XQ_RV_TRUE: the server's count matched (the line stays
 *   up). XQ_RV_REFUSE: "Transfert refusé, status N" (line up). XQ_RV_FALSE:
 *   "Pas de réponse dans le délai imparti" and "10 tentatives infructueuses",
 *   "Erreur ouverture FILE" (line dropped); "Réponse inattendue du distant",
 *   "Nombre de blocs recus <> nombre de blocs transmis" (line up); "Opération
 *   interrompue" after xq_abort() (hung up). XQ_RV_CTS: "La ligne est coupée"
 *   (port closed). XQ_RV_FALSE on every status other than XQ_OK and
 *   XQ_ERR_CALLBACK.
 * @return XQ_OK; XQ_ERR_CALLBACK (@p result set by the component too);
 *   XQ_ERR_PORT when the port is closed (no connection, or dropped by an
 *   earlier failure or by xq_disconnect() from a callback) or fails;
 *   XQ_ERR_FILE; XQ_ERR_BUSY from inside a callback (nothing done);
 *   XQ_ERR_ARGUMENT when a pointer is NULL.
 */
XMODEMQUARVEL_API xq_status xq_send_file(xq_module* module, const char* user_id, const char* psw,
                                         const char* file_name, const char* pack_type,
                                         xq_return_value* result);

/**
 * Receives @p file_name from the server. An existing file of that name is
 * resumed: the server is asked to go on after the blocks it holds, and the
 * rest is appended. Otherwise the file is created once the server accepted.
 * Each block is written at once, so an interrupted receive keeps what came.
 * The data go on at the position the server answers (a lower one cuts the
 * file to it; a higher one fails with XQ_RV_FALSE, the file untouched), and
 * the file ends only on a clean EOT. Writes source "Xmodem: ReceiveFile" into
 * the error record. Names, ids and bounds as xq_send_file().
 * @param[out] result XQ_RV_TRUE: the server ended the file (line up).
 *   XQ_RV_REFUSE: refused, no file created. XQ_RV_FALSE, XQ_RV_CTS: as for
 *   xq_send_file(); after xq_abort() the blocks received stay in the file.
 * @return as xq_send_file().
 */
XMODEMQUARVEL_API xq_status xq_receive_file(xq_module* module, const char* user_id, const char* psw,
                                            const char* file_name, const char* pack_type,
                                            xq_return_value* result);

/**
 * xq_receive_file() writing through @p fd, a regular file that the host
 * opened for writing (and checked, and perhaps locked), instead of a file it
 * names: nothing is opened, created or looked up by path, and @p file_name
 * only gives the base name that the server is asked for. The resume is asked
 * after the whole blocks the file holds, a lower position that the server
 * answers cuts it, and the data go at its end through a duplicate of @p fd
 * (they share the offset, which is left at the end). @p fd stays open and the
 * host's. A descriptor that is not a regular file open for writing gives
 * XQ_RV_FALSE with "Erreur ouverture FILE", the line dropped.
 * @return as xq_receive_file().
 */
XMODEMQUARVEL_API xq_status xq_receive_file_fd(xq_module* module, const char* user_id,
                                               const char* psw, const char* file_name,
                                               const char* pack_type, int fd,
                                               xq_return_value* result);

/**
 * Asks the running xq_connect(), xq_send_file(), xq_receive_file() or
 * xq_receive_file_fd() to stop.
 * The request wakes the wait that blocks, with or without a yield callback:
 * the hang-up starts at once (DTR drops within milliseconds, 50 ms at most on
 * a loaded machine), takes xq_disconnect()'s 1.5 s, and the operation returns
 * within 2 s of the request with XQ_RV_FALSE and the description "Opération
 * interrompue". xq_pack_file() and xq_unpack_file() stop before their next
 * megabyte and return XQ_ERR_FILE with "Opération interrompue". Ignored when
 * no operation runs. The one way for a callback to stop an operation. Safe
 * from any thread and from a signal handler (a flag and one write to a
 * descriptor) while the handle exists; does not change xq_last_error().
 *
 * xq_abort() and xq_destroy() of the same handle must never overlap: an
 * xq_abort() that runs while the handle is freed, or after, uses freed
 * memory. A host that aborts from another thread holds a lock of its own
 * around both calls (or joins that thread before xq_destroy()); one that
 * aborts from a signal handler blocks that signal, or takes the handle away
 * from the handler, before xq_destroy().
 * @return XQ_OK; XQ_ERR_ARGUMENT when @p module is NULL.
 */
XMODEMQUARVEL_API xq_status xq_abort(xq_module* module);

/* ---- The wait's state -------------------------------------------------- */

/** What a wait awaits (xq_wait_state::awaiting). */
enum xq_awaiting {
  XQ_AWAIT_NOTHING = 0, /**< no wait is running */
  XQ_AWAIT_MODEM = 1,   /**< an answer of the modem to a command */
  XQ_AWAIT_SERVER = 2,  /**< an answer of the server during a transfer */
  XQ_AWAIT_PAUSE = 3,   /**< a pause (after the modem's reset, while hanging up) */
  XQ_AWAIT_LINE = 4     /**< the line itself: a terminal server's address or agreement */
};

/** What the running wait awaits, for a status line. */
typedef struct xq_wait_state {
  int32_t awaiting; /**< one of the XQ_AWAIT_* values */
  int32_t attempt;  /**< this attempt, from 1; 0 when attempts are not counted */
  int32_t attempts; /**< the most attempts of the exchange; 0 when not counted */
  /** Milliseconds left until this attempt's wait ends ("BUSY" extensions
      included); -1 when nothing is awaited. */
  int64_t remaining_ms;
  /** What went out and is being answered: the modem command without its line
      end ("ATDT..."), "ACK", "NAK", "EOT", "trame N"; "" when nothing went
      out. Owned by the handle, valid until the next call on it. */
  const char* sent;
  /** The answer awaited: "OK", "CONNECT", "ACK", "NAK", "EOT", "trame N ou
      EOT"; "" for a pause or the line. Owned by the handle, as @p sent. */
  const char* expected;
} xq_wait_state;

/**
 * Reads what the running wait awaits into @p out: meant for the yield
 * callback (or an event callback), where a host redraws its status line.
 * Outside an operation @p out says XQ_AWAIT_NOTHING. Never waits.
 * @return XQ_OK; XQ_ERR_ARGUMENT when @p module or @p out is NULL (@p out,
 *   when not NULL, then says XQ_AWAIT_NOTHING with -1 ms and "" texts).
 */
XMODEMQUARVEL_API xq_status xq_get_wait_state(xq_module* module, xq_wait_state* out);

/**
 * xq_get_wait_state() for a host that may run with another library of the
 * same major version, whose xq_wait_state may have grown: fields are only
 * ever added at its end. @p size is sizeof(xq_wait_state) as the host was
 * compiled. The library writes the first min(@p size, its own size) bytes of
 * the state, and zeroes the rest of the host's @p size: a field that the
 * library does not know reads 0. xq_get_wait_state() stays, and fills the
 * fields of version 2.0.
 * @return XQ_OK; XQ_ERR_ARGUMENT when @p module or @p out is NULL, or @p size
 *   does not hold the first field (nothing written then).
 */
XMODEMQUARVEL_API xq_status xq_get_wait_state_sized(xq_module* module, xq_wait_state* out,
                                                    size_t size);

#ifdef __cplusplus
}
#endif

#endif /* XMODEMQUARVEL_XQ_H */
