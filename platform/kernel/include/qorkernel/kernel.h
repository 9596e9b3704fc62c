// libqorkernel: a host kernel that the module lives in.
//
// One Kernel is active per process at a time (the host routines that the
// module reaches through transfer vectors carry no kernel argument, so they
// find the active kernel through Kernel::current()). The constructor makes the
// new kernel the active one; the destructor clears the active kernel.
//
// Threads
//   A kernel may be used by any number of threads at once, as a host with a
//   connection handle per thread uses it: every host routine, the pool
//   operations, the status objects' operations, loadExtension and every
//   member function below, except where this list says otherwise.
//   - One pool is used by one thread at a time: its allocate, free and
//     wmrealc, and wmpoold of it, do not overlap one another (a connection
//     handle and its pool go together, so a handle used by one thread at a
//     time gives that). Different pools are used at once, and wmtpc and
//     wmpoold of different pools run at once. A production pool's
//     allocate, free and wmrealc take no lock and search no kernel-wide
//     table: the pool's record carries its state. Checked pools share one
//     kernel-wide lock (they are for tests) and still detect bad pools and
//     bad frees. The task pool is one pool too: the module uses it when it
//     starts and stops.
//   - One status object is used by one thread at a time (its operations and
//     its release do not overlap one another). wrjnlc and the release of
//     different objects run at once.
//   - The construction and the destruction of a kernel overlap nothing else
//     that uses it (and no routine call on any kernel, since they change
//     the active one).
//   - setRoutine, a write through vectorFlag and setHostCode change the
//     control block as the module reads it without synchronisation: not
//     while routines are called or handles opened (tests and setup only).
//   - Macro symbols and environment overrides may change while the module
//     reads them: each lookup sees the value before or after a change, never
//     part of one; a dsopen that looks up several sees each as it was at its
//     own lookup.
//   - Counters and the other accessors may be read at any time; while other
//     threads call routines they tell of some moment during the call.
//     messageNumber, issueMessage and lastStatusText are kernel-wide: with
//     several threads they tell of whichever thread recorded the latest
//     status. unclearedFlags() is exact only while one thread calls
//     routines at a time: the flag bytes are shared by all threads, so with
//     several a byte may be set again by another thread's call between a
//     stub's clearing and its target's check (it is a diagnostic of the
//     stubs, asserted by single-threaded tests).
//   - The fault injection counts the requests of every thread together;
//     with several threads, which request fails is whichever is counted n-th.
//
// How the routines are installed
//   Every routine of QOR_HOST_ROUTINES (include/qorldap/abi/routines.h) has a
//   target in namespace qorkernel::routines, declared from that same list with
//   the signature QOR_ROUTINE_TARGET(result, parameters), that is
//   `result target(uint64_t routineId, <the routine's parameters>)`. The
//   constructor installs each target at gcb->vectors[vector][slot]; the
//   installation is generated from the list and takes each target's address
//   as a pointer of exactly that type, so a target whose signature drifts from
//   the list does not compile. The kernel never defines or calls the module's
//   stub names (wmtpc, xjsymgc, ...).
//
// Cheap checks on every routine call, counted so tests can assert 0:
//   - routineMismatches(): the routineId a target received is not its own
//     vector/slot (a stub that calls the wrong slot);
//   - uncleared flags: a stub stores 0 into its vector's flag byte before the
//     jump; every target checks that the byte is 0 on entry and sets it to 1
//     when it returns, so the next stub has to clear it again. Stubs and
//     targets access the byte as a relaxed atomic byte (a plain byte store
//     on x86-64), so calls on several threads are no data race; the count
//     is exact only while one thread calls at a time (see Threads).
//   - argumentFaults(): a routine was called with arguments it refuses (see
//     lastRoutineError() for the latest reason).
//
// Results of the host routines: 0 is success, the negative codes of
// qorkernel::result below are failures (xjsymgc instead returns 1 when found, 0
// when not found and a negative code for refused arguments).
//
// Pools, in one of two modes chosen when the kernel is made:
//   PoolMode::kProduction (the default, for hosts): no per-block records.
//   Each block carries an 8-byte header with its size and size class (blocks
//   are 8-byte aligned), small blocks come from chunks and free lists, so
//   allocate and free are O(1);
//   wmrealc grows a block in place while its room allows; wmpoold releases
//   the chunks at once. allocate, free and wmrealc reach the pool's state
//   through its record (PoolRecord::state): no search of the kernel's pools
//   and no lock, so a deleted pool is not detected there. Bad frees are not
//   detected, there is no accounting and no fault injection.
//   PoolMode::kChecked (for tests): every block is calloc'ed on its own (so
//   AddressSanitizer sees overruns) and its size and allocation flags are
//   remembered in the pool's table. Every checked-pool operation holds one
//   kernel-wide lock; wmrealc looks the pool up among the live ones and
//   refuses one that is not. A free of a block the pool does not own,
//   a second free, a free of null, or a free with a nonzero size that
//   differs from the block's size is counted as a bad free (the last one
//   still frees the block). wmrealc always moves the block. The accounting,
//   bad-free and fault-injection accessors below work in this mode only:
//   called on a production kernel they end the process with a message, as
//   any answer would be made up.
// In both modes blocks arrive zero-filled and frees come with size 0; a
// zero-size request yields a valid unique block; a negative size yields
// null. wmrealc keeps the contents, zero-fills the growth and leaves the old
// block and *out unchanged when it fails. wmtpc creates a pool (the task
// argument must be the current task word); wmpoold deletes a pool and every
// block still in it. The task pool (where the module state lives) is a
// kernel pool too, but it is not counted by livePools() and wmpoold refuses
// it.
//
// Fault injection (checked mode) counts block allocations (of every pool,
// the task pool included), wmrealc calls and wmtpc calls together. To fail
// each request of an operation in turn: failNth(SIZE_MAX) and run the
// operation once to learn requestsSinceFaultArmed() = N, then run it with
// failNth(1) ... failNth(N).
//
// Macro symbols: xalanch(task->context->symbolScope) yields the table (null
// when setMacroTableAvailable(false), or for any other argument). xjsymgc
// hands out a fresh heap copy of exactly the value's bytes, NOT NUL-terminated
// (a reader that runs past the length is caught by AddressSanitizer); each
// copy must come back through xjsymfr and unreleasedMacroValues() counts the
// ones that have not.
//
// Environment: wzosvar reads the real environment (getenv) unless
// useRealEnvironment(false); overrides set with setEnv come first (nullopt
// hides a variable). A value is copied with a terminating NUL, so it fits
// when value bytes + 1 <= buffer size. A value that does not fit is not
// copied at all: wzosvar stores the full value length through its length
// argument and returns result::kDoesNotFit, so a caller that tests for 0 sees
// the setting as absent. A too-long host name is therefore never silently
// truncated into a different, valid-looking one.
//
// wzifmn: the descriptor's kind must be 24. Skips leading blanks and tabs and
// converts the decimal number that follows (locale-independent; an optional
// sign, digits, fraction, exponent, "inf"/"nan") into *result. Returns 0 when
// the rest of the text is blanks; kTrailingText when other text follows the
// number (the number is still stored); kOutOfRange when the number overflows
// or underflows a double (±HUGE_VAL or the nearest tiny value is stored);
// kNotANumber when the text holds no number (0.0 is stored).
//
// Status objects (wrjnlc(0, 0)): records laid out as qor_status_object with
// the mark in word 14. getLastStatus writes the latest recorded status
// through its argument and returns 0 (with a null argument it returns the
// status instead). setLastStatus records a status; each nonzero one issues a
// new host message number, which wrlstlt reports. The objects announce the
// diagnostic text (QOR_STATUS_HAS_TEXT): setLastText keeps a copy,
// getLastText hands it out, setLastStatus clears it.
//
// Entry tables: hiexprt(17, table, pidb) registers the table for its kind
// (pidb must be this kernel's per-image anchor), wideprt(kind) withdraws it.
//
// Kernel handle: word 9 loadExtension(handle, wideName, length, 0) converts
// the name (32-bit units, ASCII letters, digits, '_' and '-' only) and uses a
// factory registered with registerExtension, else dlopen("lib<name>.so") from
// the search directories (QOR_EXTENSION_PATH, colon-separated; then
// setExtensionDirectory; then the plugin folder <libdir>/qorldap, found from
// where the kernel's code lies), dlsym(QOR_EXTENSION_FACTORY) and calls it with the handle.
// Libraries stay loaded until the kernel is destroyed. Null when nothing is
// found; lastExtensionError() says why. Word 26 kernelContext is the address
// of the kernel's control block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <qorldap/abi/gcb.h>
#include <qorldap/abi/objects.h>
#include <qorldap/abi/routines.h>
#include <qorldap/table.h>

namespace qorkernel {

// Failure results of the host routines (0 is success).
namespace result {
inline constexpr int32_t kRefused = static_cast<int32_t>(0x80000801u);  // bad arguments
inline constexpr int32_t kNoMemory = static_cast<int32_t>(0x80000802u);
inline constexpr int32_t kNotFound = static_cast<int32_t>(0x80000803u);
inline constexpr int32_t kDoesNotFit = static_cast<int32_t>(0x80000804u);
inline constexpr int32_t kNotANumber = static_cast<int32_t>(0x80000806u);
inline constexpr int32_t kTrailingText = static_cast<int32_t>(0x80000807u);
inline constexpr int32_t kOutOfRange = static_cast<int32_t>(0x80000808u);
inline constexpr int32_t kUnknownPool = static_cast<int32_t>(0x80000809u);
inline constexpr int32_t kNoKernel = static_cast<int32_t>(0x8000080Au);
}  // namespace result

// Accounting of one pool, or of all pools of the kernel together.
struct PoolStats {
  std::size_t liveBlocks = 0;
  std::size_t liveBytes = 0;
  std::size_t peakBytes = 0;
  std::size_t allocations = 0;    // successful block allocations so far
  std::size_t frees = 0;          // blocks given back through the free operation
  std::size_t reallocations = 0;  // successful wmrealc calls
  std::size_t badFrees = 0;
};

using ExtensionFactory = std::function<qor_extension*(qor_kernel*)>;

enum class PoolMode { kProduction, kChecked };

class Kernel {
 public:
  explicit Kernel(PoolMode pools = PoolMode::kProduction);
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The kernel whose routines the transfer vectors currently reach.
  static Kernel* current();

  qor_gcb* gcb();
  void* pidb();
  qor_kernel* handle();
  qor_task* task();
  qor_pool* taskPool();
  std::uint32_t hostCode() const;
  void setHostCode(std::uint32_t code);

  // Replaces the routine in one slot (tests only); returns the old one.
  // Out-of-range positions change nothing and return null.
  qor_routine setRoutine(int vector, int slot, qor_routine routine);
  // The flag byte of a vector; stubs store 0 there. A plain reference into
  // the control block, for single-threaded tests: not while routines are
  // called on other threads.
  std::uint8_t& vectorFlag(int vector);

  // Routine calls whose routineId was not the target's own vector/slot.
  std::size_t routineMismatches() const;
  // Routine calls that found their vector's flag byte not cleared to 0;
  // exact only while one thread calls routines at a time.
  std::size_t unclearedFlags() const;
  // Routine calls refused for their arguments, and the latest reason.
  std::size_t argumentFaults() const;
  std::string lastRoutineError() const;

  PoolMode poolMode() const;
  std::size_t livePools() const;  // pools created by wmtpc and not deleted
  bool ownsPool(qor_pool* pool) const;

  // Pool accounting and block records: checked mode only.
  PoolStats stats(qor_pool* pool) const;  // one pool (must be live)
  PoolStats totals() const;      // all pools over the kernel's life; live counts are of live pools
  std::size_t badFrees() const;  // over all pools
  // The remembered size and allocation flags of a live block of a pool.
  std::optional<std::size_t> blockSize(qor_pool* pool, const void* block) const;
  std::optional<std::int64_t> blockFlags(qor_pool* pool, const void* block) const;

  // Fault injection (checked mode only), counted over block allocations,
  // wmrealc enlargements and pool creations (wmtpc) together: the n-th such request from now fails
  // (n = 1: the next one; n = 0 disarms). failEvery makes every request fail
  // until cleared.
  void failNth(std::size_t n);
  void failEvery(bool on);
  void clearFaults();
  std::size_t requestsSinceFaultArmed() const;
  std::size_t injectedFailures() const;

  // Macro symbols of the current task. Without a table xalanch yields null.
  void setMacro(const std::string& name, const std::string& value);
  void removeMacro(const std::string& name);
  void setMacroTableAvailable(bool available);
  // Values handed out by xjsymgc and not yet given back with xjsymfr.
  std::size_t unreleasedMacroValues() const;
  // xjsymfr calls with a value that was not handed out (or came back twice).
  std::size_t badMacroFrees() const;
  std::size_t macroLookups() const;
  std::size_t macroLookups(const std::string& name) const;

  // Environment for wzosvar: the real environment unless overridden; an
  // override with nullopt hides a real variable.
  void setEnv(const std::string& name, std::optional<std::string> value);
  void clearEnvOverrides();
  void useRealEnvironment(bool use);
  std::size_t envLookups(const std::string& name) const;

  // Host message numbers: each nonzero status recorded in a status object
  // issues a new one; wrlstlt reports the latest.
  std::uint32_t messageNumber() const;
  std::uint32_t issueMessage();

  // Status objects made by wrjnlc. With availability off, wrjnlc yields null.
  void setStatusObjectsAvailable(bool available);
  std::size_t liveStatusObjects() const;
  // The diagnostic text of the status object that recorded the latest
  // status (what the server said, the servers tried), empty when that
  // status came without one or no object recorded any. It outlives the
  // object: after a failed dsopen, whose handle's object is gone, it tells
  // why the open failed.
  std::string lastStatusText() const;
  // From collectStatusTexts(true), every diagnostic text a status object is
  // given is kept as well, until takeStatusTexts hands them over (oldest
  // first): a request made of many calls (an expansion) leaves each call's
  // text, where lastStatusText has only the latest. For a tracing host;
  // off by default, and turning it off drops what was kept.
  void collectStatusTexts(bool collect);
  std::vector<std::string> takeStatusTexts();

  // Entry tables exported with hiexprt and not withdrawn with wideprt.
  const qorldap_table* registeredTable(int kind = QOR_TABLE_KIND_DIRECTORY) const;
  std::size_t exportCalls() const;
  std::size_t withdrawCalls() const;

  // Extensions: registered in-process, else loaded from lib<name>.so found in
  // the search directories (QOR_EXTENSION_PATH, then the set directory, then
  // the plugin folder <libdir>/qorldap).
  void registerExtension(const std::string& name, ExtensionFactory factory);
  void unregisterExtension(const std::string& name);
  void setExtensionDirectory(const std::string& directory);
  std::string extensionDirectory() const;
  std::size_t extensionLoads() const;  // successful loadExtension calls
  std::string lastExtensionError() const;

  struct State;  // the kernel's inner state, for the routine implementations
  State& state() { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

// A status object made by the kernel, for tests that need one without the
// module (the extension's own tests). Released with its release operation.
qor_status_object* newStatusObject(Kernel& kernel);

}  // namespace qorkernel
