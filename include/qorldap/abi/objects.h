/*
 * Objects that reach the module from outside: pools, the kernel handle, the
 * LDAP extension, its connections and status objects. Each is a record of
 * pointer-sized words; an operation sits at a fixed word position and takes
 * the record itself first. Positions not named here are never called and are
 * declared as reserved words, so an implementation may keep its own state
 * behind the record or in those words.
 */
#ifndef QORLDAP_ABI_OBJECTS_H
#define QORLDAP_ABI_OBJECTS_H

#include <qorldap/abi/compat.h>
#include <qorldap/abi/ldrecords.h>

QOR_EXTERN_C_BEGIN

typedef struct qor_pool qor_pool;
typedef struct qor_kernel qor_kernel;
typedef struct qor_extension qor_extension;
typedef struct qor_connection qor_connection;
typedef struct qor_status_object qor_status_object;

/* A 32-bit kernel status: 0 is success. */
typedef uint32_t VQStatus;

/* Pool: word 0 allocate, word 1 free; the host keeps its state after them. */
struct qor_pool {
  void* (*allocate)(qor_pool* pool, int64_t size, int64_t flags);
  void (*free)(qor_pool* pool, void* block, int64_t size, int64_t flags);
};
QOR_ASSERT_OFFSET(qor_pool, allocate, QOR_WORD(0));
QOR_ASSERT_OFFSET(qor_pool, free, QOR_WORD(1));

/* Allocation flags of the module's callers. */
enum { QOR_POOL_DIRECTORY_FLAGS = 6, QOR_POOL_RELEASE_FLAGS = 4, QOR_POOL_STATE_FLAGS = 2 };

struct qor_kernel {
  uint64_t reserved0[9];
  /* Finds an extension by its wide-character (32-bit unit) name. */
  qor_extension* (*loadExtension)(qor_kernel* kernel, const uint32_t* name, int64_t length,
                                  int64_t zero);
  uint64_t reserved10[16];
  /* A value, not an operation: copied into ldparm.kernelContext unread. */
  uint64_t kernelContext;
};
QOR_ASSERT_OFFSET(qor_kernel, loadExtension, QOR_WORD(9));
QOR_ASSERT_OFFSET(qor_kernel, kernelContext, QOR_WORD(26));

struct qor_extension {
  uint64_t reserved0[2];
  void (*release)(qor_extension* extension);
  uint64_t reserved3[7];
  qor_connection* (*openConnection)(qor_extension* extension, const ldparm* parameters,
                                    qor_status_object* status, const char* name);
};
QOR_ASSERT_OFFSET(qor_extension, release, QOR_WORD(2));
QOR_ASSERT_OFFSET(qor_extension, openConnection, QOR_WORD(10));

/* Marks a usable status object in the low 32 bits of word 14. */
#define QOR_STATUS_MAGIC 0x66666666u

/*
 * The high 32 bits of word 14 announce the platform additions that follow
 * word 16, one bit each. Every object marked with QOR_STATUS_MAGIC has
 * setLastStatus at word 16; the words an addition brings are read or called
 * only when its bit is set, so a status object made before the addition
 * existed is never read or written past its end.
 *
 * QOR_STATUS_HAS_TEXT: words 17 and 18, the diagnostic text of the latest
 * request: what the server said beyond its result code, the entry it
 * matched, the servers a connection tried. One or more lines, each
 * "label: value", separated by '\n' without a final one; the labels in use
 * are "additional info", "matched DN", "server" (a server tried, and what
 * became of it), "client" (why the client refused a request it never
 * sent: a filter it cannot encode, say) and "reference" (a search
 * continuation reference or a referral, not followed; kept after a success
 * too).
 */
#define QOR_STATUS_HAS_TEXT (UINT64_C(1) << 32)

struct qor_status_object {
  uint64_t reserved0[2];
  void (*release)(qor_status_object* status);
  uint64_t reserved3[11];
  uint64_t statusMagic;
  /* The result if nonzero, else the code written through `code`, is the
     latest status (0 = none). */
  VQStatus (*getLastStatus)(qor_status_object* status, uint32_t* code);
  /* Platform addition for the extension: records the kernel status of the
     latest request (0 after a success). Each nonzero status issues a new
     host message number. It also clears the diagnostic text, so a text set
     after it belongs to that status. */
  void (*setLastStatus)(qor_status_object* status, VQStatus value);
  /* With QOR_STATUS_HAS_TEXT: keeps a copy of `length` bytes of `text` as
     the diagnostic text of the latest status, in place of any before it. */
  void (*setLastText)(qor_status_object* status, const char* text, int64_t length);
  /* With QOR_STATUS_HAS_TEXT: the diagnostic text (not NUL-terminated) and
     its length through `length`; null and 0 when there is none. It stays
     valid until the next setLastStatus, setLastText or release. */
  const char* (*getLastText)(qor_status_object* status, int64_t* length);
};
QOR_ASSERT_OFFSET(qor_status_object, release, QOR_WORD(2));
QOR_ASSERT_OFFSET(qor_status_object, statusMagic, QOR_WORD(14));
QOR_ASSERT_OFFSET(qor_status_object, getLastStatus, QOR_WORD(15));
QOR_ASSERT_OFFSET(qor_status_object, setLastStatus, QOR_WORD(16));
QOR_ASSERT_OFFSET(qor_status_object, setLastText, QOR_WORD(17));
QOR_ASSERT_OFFSET(qor_status_object, getLastText, QOR_WORD(18));

/* Search flags: 0x10 reads the entry named by a DN; otherwise a filter search
   under the connection's base: 0 subtree, 2 one level, 4 base object. */
enum {
  QOR_SEARCH_SUBTREE = 0,
  QOR_SEARCH_ONELEVEL = 2,
  QOR_SEARCH_BASE = 4,
  QOR_SEARCH_READ_DN = 0x10
};

struct qor_connection {
  uint64_t reserved0[2];
  VQStatus (*close)(qor_connection* connection);
  VQStatus (*addEntry)(qor_connection* connection, const char* dn, int64_t dnLength,
                       const ldent* entry, qor_status_object* status);
  VQStatus (*compareValue)(qor_connection* connection, const char* dn, int64_t dnLength,
                           const char* attribute, int64_t attributeLength, const char* value,
                           int64_t valueLength, qor_status_object* status);
  VQStatus (*deleteEntry)(qor_connection* connection, const char* dn, int64_t dnLength,
                          qor_status_object* status);
  uint64_t reserved6[2];
  void (*freeResult)(qor_connection* connection, ldent** result);
  uint64_t reserved9;
  VQStatus (*modifyEntry)(qor_connection* connection, const char* dn, int64_t dnLength,
                          ldmod* const* mods, qor_status_object* status);
  VQStatus (*modifyEntryLists)(qor_connection* connection, const char* dn, int64_t dnLength,
                               ldmodp* const* mods, qor_status_object* status);
  /* `value` is a NUL-terminated text; the module passes it on unread. */
  VQStatus (*modifyOne)(qor_connection* connection, const char* dn, int64_t dnLength, uint64_t op,
                        const char* attribute, int64_t attributeLength, const void* value,
                        qor_status_object* status);
  ldent** (*search)(qor_connection* connection, uint64_t flags, const char* text, int64_t length,
                    const char* const* attributes, qor_status_object* status);
  uint64_t reserved14;
  VQStatus (*setOption)(qor_connection* connection, int64_t option, int64_t value, uint32_t flags,
                        const char* text, int64_t length);
};
QOR_ASSERT_OFFSET(qor_connection, close, QOR_WORD(2));
QOR_ASSERT_OFFSET(qor_connection, addEntry, QOR_WORD(3));
QOR_ASSERT_OFFSET(qor_connection, compareValue, QOR_WORD(4));
QOR_ASSERT_OFFSET(qor_connection, deleteEntry, QOR_WORD(5));
QOR_ASSERT_OFFSET(qor_connection, freeResult, QOR_WORD(8));
QOR_ASSERT_OFFSET(qor_connection, modifyEntry, QOR_WORD(10));
QOR_ASSERT_OFFSET(qor_connection, modifyEntryLists, QOR_WORD(11));
QOR_ASSERT_OFFSET(qor_connection, modifyOne, QOR_WORD(12));
QOR_ASSERT_OFFSET(qor_connection, search, QOR_WORD(13));
QOR_ASSERT_OFFSET(qor_connection, setOption, QOR_WORD(15));

/*
 * A batch of searches sent together on one connection: an optional
 * operation that a connection may offer beside its words above. Each
 * request is what one `search` call would take (flags, text and its length,
 * attribute selection); the connection keeps at most `window` of them
 * outstanding at a time (0: QOR_SEARCH_BATCH_WINDOW, the number of pending
 * requests servers allow an anonymous session by default) and answers them
 * in request order: answers[i] receives what `search` would have returned
 * for requests[i] (a result for freeResult, or null) and the kernel status
 * that `search` would have recorded (0 on success). The latest status is
 * recorded in `status` as well. The result is 0 when every request was
 * answered, even where the answer is a failure; otherwise no request was
 * sent and every answer is null with that status. One timeout bounds the
 * whole batch: once an answer has timed out, the requests still outstanding
 * are abandoned and every later answer is null with the timeout status, so
 * a stalled server costs one timeout, not one per request.
 *
 * Announcement: a record that offers only the words above is never read
 * past them. The module asks with setOption(connection,
 * QOR_OPTION_SEARCH_BATCH, address of a zeroed qor_search_batch slot, 0,
 * QOR_SEARCH_BATCH_NAME, its length). A connection that offers the batch
 * writes its operation into the slot and returns 0; one that does not
 * refuses the unknown option, or ignores it, and the slot stays null. The
 * option number lies outside both LDAP's option numbers and the
 * extension's own settings, and a pointer as the value is out of the range
 * of any numeric setting, so an older extension can only refuse it.
 */
enum { QOR_OPTION_SEARCH_BATCH = 0x51420001, QOR_SEARCH_BATCH_WINDOW = 100 };
#define QOR_SEARCH_BATCH_NAME "searchBatch"

typedef struct ldsearch {
  uint64_t flags;
  const char* text;
  int64_t length;
  const char* const* attributes;
} ldsearch;
QOR_ASSERT_SIZE(ldsearch, 32);
QOR_ASSERT_OFFSET(ldsearch, flags, 0);
QOR_ASSERT_OFFSET(ldsearch, text, 8);
QOR_ASSERT_OFFSET(ldsearch, length, 16);
QOR_ASSERT_OFFSET(ldsearch, attributes, 24);

typedef struct ldanswer {
  ldent** result;
  VQStatus status;
  uint32_t reserved;
} ldanswer;
QOR_ASSERT_SIZE(ldanswer, 16);
QOR_ASSERT_OFFSET(ldanswer, result, 0);
QOR_ASSERT_OFFSET(ldanswer, status, 8);

typedef VQStatus (*qor_search_batch)(qor_connection* connection, const ldsearch* requests,
                                     ldanswer* answers, int64_t count, int64_t window,
                                     qor_status_object* status);

/*
 * A shared library that provides an extension exports this factory under the
 * name QOR_EXTENSION_FACTORY; the kernel's loadExtension calls it with
 * itself. The library is found as lib<name>.so.
 */
#define QOR_EXTENSION_FACTORY "qor_extension_create"
typedef qor_extension* (*qor_extension_factory)(qor_kernel* kernel);

QOR_EXTERN_C_END

#endif
