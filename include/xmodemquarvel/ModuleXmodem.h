#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "xmodemquarvel/Enums.h"
#include "xmodemquarvel/Export.h"
#include "xmodemquarvel/HostOptions.h"
#include "xmodemquarvel/WaitState.h"

/// @file
/// The component's one class, ModuleXmodem.

namespace xmodemquarvel {

/// File exchange with the remote server through a Hayes modem, and the
/// component's packed file format.
///
/// All texts are UTF-8; what goes on the line and into the opening record is
/// converted to the single-byte code page Windows-1252 (a character it cannot
/// hold becomes '?').
///
/// **How operations report.** Connect, SendFile and ReceiveFile return a
/// ReturnValues code and leave a source and a French description in the error
/// record, which ErrorSource() and ErrorDescription() read. The Error event is
/// raised only by CommPort, Device and Settings (a value the serial layer
/// refuses) and by Connect (a failure of the serial port). Everything else
/// reaches the host as an exception: PackFile and UnPackFile throw on every
/// failure, SendFile and ReceiveFile throw when the port is closed, and every
/// operation started again from one of its own handlers throws.
///
/// **The error record** is one per thread, shared by every object used on that
/// thread, and is written only by the members that say so below. It keeps what
/// was last written into it: read it right after the call whose failure you
/// want to explain. A success leaves the operation's source in it too
/// ("Xmodem: SendFile" with an empty description after a good send).
///
/// **Events and waits.** Every member runs on the caller's thread and returns
/// when its work is done. Connect, Disconnect, SendFile and ReceiveFile wait
/// (for the modem, the server, a pause, a remote line's address, connection
/// and agreement). Every wait is one loop whose passes block in one poll() on
/// the line's descriptor, a wake descriptor (an abort request) and the
/// nearest deadline, and take at most 256 received bytes between two passes,
/// so that a line that floods can neither hold the caller nor push a
/// deadline away. On each pass HostOptions::yield runs: with a yield
/// callback, no pass blocks longer than HostOptions::max_yield_interval;
/// without one, a pass blocks until input, its deadline or an abort (on a
/// port without a descriptor, HostOptions::port of the host's own, it looks
/// for input every 100 ms). The events run synchronously from inside the
/// operation that raises them. From a handler or the yield callback a host
/// may read every property, call Disconnect, Abort and CurrentWait; starting
/// Connect, SendFile, ReceiveFile, PackFile or UnPackFile there throws
/// std::logic_error. An exception thrown by a handler or by the yield callback
/// leaves the running operation at once and reaches its caller as it was
/// thrown, whatever the port (a remote line's own waits run the yield
/// callback too: it is never taken for a failure of the line); the line is
/// then left as it was (call Disconnect).
///
/// **Bounds.** Whatever the far end sends (nothing, a flood, an endless
/// negotiation), each operation ends within the bound its member states
/// below, on the object's clock; n is the number of attempts of a modem
/// command (Tentatives + 1, at least 2). The figures assume a host whose
/// handlers and yield callback return promptly.
///
/// **Threads.** Objects may live on several threads at once: each has its own
/// port, timer and trace, and nothing is shared between threads but the
/// process's files and devices. One object is used by one thread at a time
/// (no member is synchronised), except Abort(), which any thread and a signal
/// handler may call. The error record read through an object is the calling
/// thread's.
///
/// **Teardown.** Destroying the object closes the serial port if it is open:
/// an object that goes away never leaves a line up, and the next object on
/// the same device finds the modem in command mode (see the destructor). A
/// host still calls Disconnect first for the orderly hang-up.
///
/// **One operation at a time.** Connect, SendFile, ReceiveFile, PackFile and
/// UnPackFile started from an event handler or the yield callback while one
/// of them runs on the same object throw std::logic_error: the operations
/// share the object's fields, and a second one would corrupt the first.
/// Each object has its own trace window state (caption, text, visibility) and
/// its own timer; the error record is shared by the objects of a thread.
///
/// **How a receive ends.** Where a frame is awaited (the data of a receive,
/// the server's response to the opening and its closing report), an EOT ends
/// the file only when it is clean: no byte was dropped since the attempt
/// began and its CR follows at once. There a control byte (EOT, ACK or NAK)
/// not followed at once by its CR is dropped and the byte after it read
/// afresh, so a stray byte before a frame costs nothing and the data of a
/// frame that lost its SOH are not answered several times; an EOT completed
/// by its CR after dropped bytes is a wrong answer, and the server is asked
/// again with NAK. So one stray EOT byte, or the number 4 of a frame whose SOH
/// was lost, cannot end a receive early with rvTrue and a short file.
///
/// **Where a receive goes on.** ReceiveFile honours the position that the
/// server answers: a lower one than the blocks held cuts the file to it
/// before data are appended (0 when the server declines the resume); a
/// higher one, or one below zero, ends the transfer. Data are thus never
/// doubled nor skipped. TransferAccepted is raised between the server's
/// acceptance and the first data frame, the one moment where a host can check
/// the server's position and stop before any data move.
///
/// **No far end holds an operation for ever.** "BUSY" and "DELAYED" extend
/// the wait of a modem command only while that command has lasted less than
/// 15 minutes, so a modem answering BUSY every 20 s cannot hold a dial (a line
/// busy at 14 minutes still gets its 105 s). The frame received last time,
/// received again, starts the count of attempts over at most ten times in an
/// exchange; after that it counts as a failed attempt, so a server repeating
/// one frame cannot hold a transfer.
///
/// **Extensions** for hosts on this system: Device(), Caption(), TraceText(),
/// PortOpen(), CurrentWait(), TraceAppended, TransferAccepted, HostOptions,
/// Abort(), and ReceiveFileToDescriptor().
class XMODEMQUARVEL_API ModuleXmodem {
 public:
  /// An object with the default host: the monotonic clock and the POSIX
  /// serial port /dev/ttyS0 (CommPort 1) at "9600,N,8,1". Opens nothing.
  /// Afterwards: Trace off, Visible false, caption "Trace Xmodem - Quarvel",
  /// empty trace text, DataType one U+0000 character.
  /// @throws std::bad_alloc only.
  ModuleXmodem();
  /// An object with the host's clock, serial port, yield callback and yield
  /// interval; what @p options leaves empty gets the default. Opens nothing.
  /// @throws std::system_error when the system refuses the wake descriptor
  ///   that aborts use (no descriptor left: EMFILE, ENFILE); also thrown by
  ///   the default constructor.
  explicit ModuleXmodem(HostOptions options);
  /// When the port is open: drops DTR, closes the port, and keeps it closed
  /// (DTR low) for half a second before it returns, as Disconnect holds DTR
  /// low, so that the modem hangs up even when the next object opens the same
  /// device at once (a modem takes a shorter drop for noise). With the port
  /// closed it returns at once. Calls no handler and no yield callback, raises
  /// no event, writes no error record. Must not be called from one of the
  /// object's own handlers, nor while another thread or a signal handler may
  /// still call Abort(): join that thread, or block or disarm the signal,
  /// first (an Abort() that races the destruction uses a freed object).
  ~ModuleXmodem();
  ModuleXmodem(const ModuleXmodem&) = delete;
  ModuleXmodem& operator=(const ModuleXmodem&) = delete;

  /// @name Properties, in interface order
  /// None of them waits, and none of them raises a progress event.
  /// @{

  /// The source of the calling thread's error record: "Xmodem: Connect",
  /// "Xmodem: SendFile", "Xmodem: ReceiveFile", "Port série" while an Error
  /// event relays a refusal of the serial layer, or empty. Changes nothing.
  std::string ErrorSource() const;
  /// The description of the calling thread's error record (French; two
  /// messages are separated by CR LF). Changes nothing.
  std::string ErrorDescription() const;
  /// Shows (true) or hides the trace window. Without a window this is a flag
  /// that Visible() returns; while it is true, a wrong answer during a
  /// transfer is also written to the trace text in hexadecimal.
  void Visible(bool NewValue);
  /// Whether the trace window is shown (false on a new object).
  bool Visible() const;
  /// Switches the four progress events (BlocPacked, BlocUnpacked, BlocSended,
  /// BlocReceived) on or off. They are raised only while it is on (off on a
  /// new object). The trace text is written either way.
  void Trace(bool NewValue);
  /// Selects the serial port by number: port N is /dev/ttyS<N-1> on the POSIX
  /// port. Empties the error record first. On success the caption becomes
  /// "Xmodem KOVA-CNAMTS Com N". When the serial layer refuses (the port is
  /// open, N is outside 1 to 255) it raises Error with "Le port N n'est pas
  /// disponible"; while that handler runs the record holds source "Port série"
  /// and the layer's own reason, and the caption and port are unchanged.
  /// Returns with the record empty either way. Never throws, except what the
  /// Error handler throws (the record then still holds the reason).
  void CommPort(int32_t NewPort);
  /// Sets the line settings "baud,parity,data,stop" ("9600,N,8,1"; parity N,
  /// E, O, M or S). Applied at once to an open port. Empties the error record
  /// first. When the serial layer refuses the text it raises Error with "Les
  /// paramètres TEXT ne sont pas valides" (record as for CommPort while the
  /// handler runs) and keeps the previous settings. Returns with the record
  /// empty. Never throws, except what the Error handler throws.
  void Settings(const std::string& NewSettings);
  /// The one character of the opening record's packing type: U+0000 on a new
  /// object, then what DataType(const std::string&) stored, until the next
  /// SendFile or ReceiveFile overwrites it with its own PackType.
  std::string DataType() const;
  /// Stores the first character of @p NewValue as the packing type, a space
  /// when it is empty. The value never reaches the server: a transfer sends
  /// its own PackType argument.
  void DataType(const std::string& NewValue);
  /// @}

  /// @name Methods, in interface order
  /// @{

  /// Packs @p FileSource into @p FilePacked (created or emptied). The source
  /// is read as 128-byte blocks, a short last one filled with spaces.
  ///
  /// While Trace is on, BlocPacked is raised after each source block with the
  /// count of blocks packed so far (Trace is read before every block: a
  /// handler that switches it off stops the events). The error record is not
  /// touched, and nothing waits.
  /// @throws std::system_error on any file failure, with the operating
  ///   system's error and a French text: "Fichier introuvable : PATH" (the
  ///   target is then left untouched), "Impossible d'ouvrir PATH",
  ///   "Impossible de créer PATH", "Erreur de lecture dans PATH", "Erreur
  ///   d'écriture dans PATH". A failure part-way (or a handler that throws)
  ///   leaves in the target the whole packed blocks produced before it.
  /// @throws std::system_error with std::errc::operation_canceled and
  ///   "Opération interrompue" after Abort() (checked before each megabyte).
  /// @throws std::logic_error when started from a handler of this object
  ///   while an operation runs.
  void PackFile(const std::string& FileSource, const std::string& FilePacked);
  /// Unpacks the packed file @p FileSource into @p FileUnpacked (created or
  /// emptied); the result is the file that was packed, filled with spaces to
  /// a multiple of 128 bytes.
  ///
  /// Any input is accepted: a file that was never packed, or was damaged,
  /// gives wrong characters without complaint. The one check is the end
  /// block's count. While Trace is on, BlocUnpacked is raised after each
  /// block read with the count of *packed* blocks read so far, not of blocks
  /// written. The error record is not touched, and nothing waits.
  /// @throws std::system_error as PackFile does, and with
  ///   std::errc::invalid_argument and "Argument ou appel de procédure
  ///   incorrect" when the end block's count is above 127 (the blocks decoded
  ///   before it stay in the target); after Abort(), as PackFile.
  /// @throws std::logic_error when started from a handler of this object
  ///   while an operation runs.
  void UnPackFile(const std::string& FileSource, const std::string& FileUnpacked);
  /// Opens the port, resets the modem with "ATZ", pauses one second, sends
  /// @p InitString if not empty, and dials "ATDT" then @p Prefixe and ","
  /// (when a prefix is given) then the server's number, fixed when the library
  /// is built. Each command is sent up to @p Tentatives + 1 times (twice when
  /// @p Tentatives is 0 or less) while its answer is a time-out, "NO CARRIER"
  /// or "NO ANSWER"; "BUSY" and "DELAYED" extend the wait to 105 seconds, in
  /// the command's first 15 minutes (see the class).
  ///
  /// Ends within: the opening of a remote line (5 s, its address resolved
  /// within them), the reset (n × 2 s), the pause (1 s), the initialisation
  /// (n × 2 s) and the dial (n × 60 s, plus at most 15 min + 105 s of
  /// extensions): 21 min 7 s with Tentatives 3. A modem that babbles without
  /// a line end still meets each time-out.
  ///
  /// Empties the error record and the trace text, then writes source
  /// "Xmodem: Connect". Each answer line of the modem is appended to the trace
  /// text (and passed to TraceAppended).
  /// @return rvTrue: connected; the port stays open, description empty.
  /// @return rvFalse or rvCTS: the description says why ("ATZ - " before the
  ///   reason when the reset failed; "Le modem n'a pas répondu dans le délai
  ///   imparti", "NO CARRIER", "Pas de tonalité", "Le modem ne répond pas"...).
  ///   The port is closed, except after "Erreur dans la chaine
  ///   d'initialisation TEXT", where it stays open so that the host may try
  ///   another string (call Disconnect before the next Connect).
  /// @return rvFalse after a failure of the serial port (missing device, port
  ///   in use or already open, refused settings): Error is raised with
  ///   "Connexion impossible" while the record holds source "Port série" and
  ///   the port's reason, and on return the record is **empty**: only the
  ///   Error handler learns the reason. The port is left as the failure found
  ///   it. This is the one member that raises Error on a failure of its own.
  /// @return rvFalse with "Opération interrompue" after Abort(); hung up.
  /// @throws std::logic_error when started from a handler of this object
  ///   while an operation runs; whatever a handler throws.
  ReturnValues Connect(int32_t Tentatives, const std::string& Prefixe = "",
                       const std::string& InitString = "");
  /// Hangs up: when the port is open, drops DTR, pauses half a second and
  /// closes it; then pauses one second (both pauses yield). Callable from a
  /// handler: the running transfer then fails (or throws) on its next use of
  /// the closed port. Its own pauses are never aborted. Writes no error record
  /// and raises no event. Ends within 1.5 s; on a remote line whose server
  /// takes nothing, the drop of DTR may wait 10 s more before the connection
  /// counts as lost (not when it ends an aborted operation).
  /// @throws SerialPortError when the port fails while hanging up.
  void Disconnect();
  /// Sends @p FileName to the server: the opening record (user id @p UserId,
  /// password @p PSW, the file's base name without directory or extension,
  /// packing type @p PackType, direction "E"), then the file's whole
  /// 128-byte records as frames, from the position that the server's response
  /// names; a final fragment of fewer than 128 bytes is not sent. **A missing
  /// file is created empty and sent as no blocks (rvTrue).**
  ///
  /// The opening record has fixed widths: the base name is cut to 17
  /// characters, @p UserId and @p PSW to 40 each, and a character outside
  /// Windows-1252 becomes '?', without a word (ReceiveFile likewise). A host
  /// that must not send a changed name checks it first.
  ///
  /// Does not empty the error record: writes source "Xmodem: SendFile", and
  /// every exchange with the server empties the description when it starts.
  /// While Trace is on, BlocSended is raised after each acknowledged data
  /// block with the count of blocks the server holds (resume position
  /// included); a handler that changes it changes the count of later events.
  ///
  /// Ends within: per exchange with the server (six for the opening, one per
  /// data frame, three for the end), 10 attempts of 10 s (one minute more after a BUSY
  /// that the last Connect met), and, when the server repeats the frame
  /// before, at most 10 restarts of those attempts; then the hang-up, 1.5 s.
  /// Whatever the server sends, every 10 s without the awaited answer is an
  /// attempt spent; output the line does not take for 10 s fails the call.
  /// @return rvTrue: the server's count matched; the line stays up, the
  ///   description is empty.
  /// @return rvRefuse: "Transfert refusé, status N" (StatusValues); the line
  ///   stays up.
  /// @return rvFalse: "Pas de réponse dans le délai imparti" and "10
  ///   tentatives infructueuses", "Erreur ouverture FILE", "Repositionnement
  ///   en N impossible" (the line is dropped: port closed); "Réponse
  ///   inattendue du distant", "Nombre de blocs recus <> nombre de blocs
  ///   transmis" (the line stays up).
  /// @return rvCTS: "La ligne est coupée" (carrier lost); port closed.
  /// @return rvFalse with "Opération interrompue" after Abort(), from any
  ///   thread or from the TransferAccepted handler (then before any data
  ///   frame); hung up.
  /// @throws SerialPortError when the port is closed (no Connect, a failed
  ///   Connect, a Disconnect, a failure that dropped the line, or Disconnect
  ///   called from a handler mid-transfer) or fails. The record then holds
  ///   source "Xmodem: SendFile" and whatever description was last written.
  /// @throws std::system_error when the file cannot be read part-way.
  /// @throws std::logic_error when started from a handler of this object
  ///   while an operation runs.
  ReturnValues SendFile(const std::string& UserId, const std::string& PSW,
                        const std::string& FileName, const std::string& PackType);
  /// Receives @p FileName from the server (direction "R"). When a file of
  /// that name exists, it asks the server to resume after the blocks it holds
  /// and appends to it; otherwise the file is created once the server has
  /// accepted. Each block is written through at once, so an interrupted
  /// receive keeps what came and the same call later resumes.
  ///
  /// The data go on at the position that the server's response names (see
  /// the class): when it is lower than the blocks held (0 when the server
  /// declines the resume), the file is first cut to that many blocks, and
  /// BlocReceived counts on from there. The file ends on a clean EOT only
  /// (see the class): an EOT after line noise is asked for again.
  ///
  /// Names, error record, events and bounds as for SendFile, with source "Xmodem:
  /// ReceiveFile" and BlocReceived after each block written (the count
  /// includes the blocks held before).
  /// @return rvTrue: the server ended the file; the line stays up.
  /// @return rvRefuse: "Transfert refusé, status N"; the line stays up and no
  ///   file is created.
  /// @return rvFalse, rvCTS: as for SendFile ("Erreur ouverture FILE" when
  ///   an existing file cannot be opened or measured).
  /// @return rvFalse with "Position de reprise du distant invalide : N blocs
  ///   annoncés, M blocs déjà reçus" when the server answers a position above
  ///   the M blocks held, or below zero: hung up, the file untouched.
  /// @return rvFalse with "Opération interrompue" after Abort(); hung up, the
  ///   blocks received are kept. Aborted from the TransferAccepted handler,
  ///   the file is untouched (neither cut nor created).
  /// @throws SerialPortError as SendFile does.
  /// @throws std::system_error when the file cannot be created, cut or
  ///   written.
  /// @throws std::logic_error when started from a handler of this object
  ///   while an operation runs.
  ReturnValues ReceiveFile(const std::string& UserId, const std::string& PSW,
                           const std::string& FileName, const std::string& PackType);
  /// @}

  /// @name Extensions
  /// @{

  /// Selects the serial device by path (/dev/ttyUSB0, a pseudo-terminal...),
  /// or a line on a terminal server by "rfc2217://HOST:PORT", with
  /// "?nomodemlines" after it when that line has no CTS and CD to report (they
  /// are then taken as held). Refused and reported like CommPort(), with "Le port PATH n'est pas
  /// disponible"; on success the caption becomes "Xmodem KOVA-CNAMTS Com PATH".
  void Device(const std::string& Path);
  /// The trace window's caption.
  std::string Caption() const;
  /// The trace text: what Connect appended (emptied when Connect starts) and,
  /// while Visible is true, the wrong answers of transfers.
  std::string TraceText() const;
  /// Whether the serial port is open: from a Connect that returned rvTrue (or
  /// stopped at "Erreur dans la chaine d'initialisation") until Disconnect, a
  /// failure that dropped the line, an abort, or the object's end. A host
  /// that finds it open calls Disconnect for an orderly hang-up.
  /// @throws SerialPortError when a port of the host's own fails to tell.
  bool PortOpen() const;
  /// Asks the running Connect, SendFile or ReceiveFile to stop. The request
  /// wakes the wait that blocks (or the next one), whether or not the host
  /// has a yield callback: the hang-up starts at once (DTR drops within
  /// milliseconds, 50 ms at most on a loaded machine), it is Disconnect's
  /// (DTR low for half a second, then a second's pause), and the call returns
  /// rvFalse within 2 s of the request, with the description "Opération
  /// interrompue" (the source stays the operation's). A receive keeps its
  /// blocks, so the same ReceiveFile later resumes.
  ///
  /// PackFile and UnPackFile stop too, before their next megabyte, and throw
  /// std::system_error (std::errc::operation_canceled, "Opération
  /// interrompue"), leaving what a failure part-way leaves.
  ///
  /// A request made while no operation runs, or during a Disconnect that is
  /// not part of one, is ignored. Safe from any thread and from a signal
  /// handler (lock-free, no allocation: a flag and one write to a
  /// descriptor), but not once the destructor has begun.
  /// @return true when an operation was running and will end.
  bool Abort() noexcept;
  /// What the running wait awaits, its attempt and when it ends: for a status
  /// line drawn from the yield callback or an event handler. Awaiting::kNothing
  /// when no operation waits. Never waits, never throws but std::bad_alloc.
  WaitState CurrentWait() const;
  /// ReceiveFile writing through a file that the host opened, checked and
  /// perhaps locked, instead of a file it names: a host that must know where
  /// the data go (a file of its own in a folder others can write to) keeps
  /// the name from being swapped between its checks and the write. Nothing is
  /// opened, created or looked up by path; @p FileName only gives the base
  /// name of the opening record (without directory or extension), as for
  /// ReceiveFile.
  ///
  /// @p FileDescriptor must be a regular file open for writing. Its size is
  /// what the file holds: the resume is asked after its whole blocks (an
  /// empty file asks for the whole file, as ReceiveFile does for an empty
  /// existing file), the file is cut to a lower position that the server
  /// answers, and data frames are appended at its end through a duplicate of
  /// the descriptor, which shares its offset: the offset is left at the end.
  /// The descriptor stays open and the host's (closing it is the host's
  /// business, after the call). Results, error record, events and exceptions
  /// are ReceiveFile's, with "Erreur ouverture FILE" (rvFalse, the line
  /// dropped) for a descriptor that is not a regular file open for writing;
  /// the file is never created, since it exists.
  ReturnValues ReceiveFileToDescriptor(const std::string& UserId, const std::string& PSW,
                                       const std::string& FileName, const std::string& PackType,
                                       int FileDescriptor);
  /// @}

  /// @name Events
  /// Raised synchronously on the caller's thread from inside the operation;
  /// the argument is passed by reference. An empty function is not called.
  /// @{

  /// A refusal of the serial layer (CommPort, Device, Settings) or
  /// "Connexion impossible" (Connect). The record holds the layer's reason
  /// while the handler runs.
  std::function<void(std::string& Description)> Error;
  /// After each source block of PackFile, while Trace is on.
  std::function<void(int32_t& NumBloc)> BlocPacked;
  /// After each packed block read by UnPackFile, while Trace is on.
  std::function<void(int32_t& NumBloc)> BlocUnpacked;
  /// After each data block of SendFile that the server acknowledged, while
  /// Trace is on.
  std::function<void(int32_t& NumBloc)> BlocSended;
  /// After each data block of ReceiveFile written to the file, while Trace is
  /// on.
  std::function<void(int32_t& NumBloc)> BlocReceived;
  /// Extension: each piece of text appended to the trace text, as it comes.
  std::function<void(const std::string& Text)> TraceAppended;
  /// Extension: raised once per SendFile or ReceiveFile, after the server's
  /// response accepted the transfer and before the first data frame, whatever
  /// Trace says. @p Sens is 'E' for a send, 'R' for a receive; @p Position is
  /// the server's position in blocks (PositionHigh × 256 + PositionLow): the
  /// blocks it holds of a send, where a receive goes on. A receive whose
  /// position is refused ends before the event. The handler may call Abort()
  /// to stop before any data move: the call then returns rvFalse with
  /// "Opération interrompue", hung up, a receive's file untouched.
  std::function<void(char Sens, std::int64_t Position)> TransferAccepted;
  /// @}

  /// The object's state; defined inside the library.
  struct Impl;

 private:
  // Lets white-box tests look at the object's private fields.
  friend struct ModuleXmodemInspector;

  std::unique_ptr<Impl> impl_;
};

}  // namespace xmodemquarvel
