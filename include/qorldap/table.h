/*
 * The entry table through which host components call the module.
 *
 * QORLDAP_OPERATIONS is the one list of the 27 operations: X(word, name,
 * result, parameters). The table struct, the exported prototypes, the
 * module's ldaptbl and the tests are derived from it. The contract of each
 * operation follows the list, in the list's order.
 *
 * A host opens a connection with dsopen and passes the handle it gets to
 * every other directory operation. Every record an operation hands out
 * (entry lists, attributes made by dsmkatt) comes from that handle's pool
 * and belongs to the caller until dsfree or dsfratt gives it back, or until
 * dsclose deletes the pool with everything left in it; no record may be
 * used after its handle is closed.
 *
 * Statuses (<qorldap/status.h>): DS_OK is success; a status with bit 31 set
 * (DS_IS_ERROR) is an error, and the operation delivered nothing; any other
 * nonzero status is a warning, and the result was delivered beside it (a
 * list that a limit cut short, say). Each operation checks its arguments
 * first and sends nothing to the directory when a check refuses. A failure
 * that the directory reports comes back as its LDAP result code n in the
 * error form 0x80144000 + n (dsConvertVQStatus); some of these have names:
 * DS_E_COMPARE_FALSE (5), DS_E_COMPARE_TRUE (6), DS_E_NO_DN (0x22, invalid
 * DN syntax), DS_E_OTHER (0x50), DS_E_NOT_OPENED (0x51, server down) and
 * DS_E_MISSING_ARGUMENT (0x59, a parameter the directory side refused).
 * dsgeterr gives the handle's last kernel status, unconverted, and
 * qorkernel_handle_diagnostic (<qorkernel/qorkernel.h>) what the directory
 * said about it.
 *
 * Threads: different connection handles may be used on different threads at
 * the same time, dsopen and dsclose included; each handle has its own pool
 * and its own status object, so dsgeterr(h) reports h's own last request.
 * One handle, and every record it handed out, is used by one thread at a
 * time. The operations that take no handle (the getters, dsdnprnt,
 * dsmynod, dsgbin) touch only their arguments. Starting and stopping the
 * module (its entry routine and term) must not overlap any other call.
 */
#ifndef QORLDAP_TABLE_H
#define QORLDAP_TABLE_H

#include <stdarg.h>

#include <qorldap/abi/compat.h>
#include <qorldap/records.h>

QOR_EXTERN_C_BEGIN

#define QORLDAP_OPERATIONS(X)                                                                    \
  X(4, term, void, (void))                                                                       \
  X(5, dsopen, uint32_t,                                                                         \
    (dshandle * *handle, const char* host, int32_t port, void* unused, const char* base,         \
     const char* bindDn, const char* bindPw))                                                    \
  X(6, dsclose, uint32_t, (dshandle * handle))                                                   \
  X(7, dsopt, void,                                                                              \
    (dshandle * handle, int32_t option, int32_t value, int64_t flags, const char* text))         \
  X(8, dsiscls, int32_t, (dshandle * handle, dsent* entry, const char* name, int32_t length))   \
  X(9, dsexpgrp, uint32_t,                                                                       \
    (dshandle * handle, const char* groupDn, dsent*** list, int32_t kind))                       \
  X(10, dsreslv, uint32_t,                                                                       \
    (dshandle * handle, const char* filter, const char* const* attributes, dsent*** list))       \
  X(11, dsrslvdn, uint32_t,                                                                      \
    (dshandle * handle, const char* dn, const char* const* attributes, dsent*** list))           \
  X(12, dsreg, uint32_t, (dshandle * handle, const char* dn, const dsent* entry))                \
  X(13, dsmodify, uint32_t, (dshandle * handle, const char* dn, dsmod* const* mods))            \
  X(14, dsmodpad, uint32_t, (dshandle * handle, const char* dn, dsmodp* const* mods))           \
  X(15, dsmodone, uint32_t,                                                                      \
    (dshandle * handle, const char* dn, uint32_t op, const char* name, const void* value))       \
  X(16, dsdereg, uint32_t, (dshandle * handle, const char* dn))                                  \
  X(17, dsfree, uint32_t, (dshandle * handle, dsent** list))                                     \
  X(18, dsgshrt, int16_t, (dsval * value))                                                       \
  X(19, dsgint, int32_t, (dsval * value))                                                        \
  X(20, dsglong, int64_t, (dsval * value))                                                       \
  X(21, dsgflt, float, (dsval * value))                                                          \
  X(22, dsgdbl, double, (dsval * value))                                                         \
  X(23, dsgbin, int32_t, (const void* ignored))                                                  \
  X(24, dsgstr, char*, (dsval * value))                                                          \
  X(25, dsmkatt, dsatt*, (dshandle * handle, const char* name, int32_t count, ...))             \
  X(26, dsfratt, void, (dshandle * handle, dsatt* attribute))                                    \
  X(27, dsmynod, int32_t, (const void* ignored))                                                 \
  X(28, dsdnprnt, void, (const char* name, char* buffer, int32_t size, int32_t* count))          \
  X(29, dsgeterr, uint32_t, (dshandle * handle))                                                 \
  X(30, dscompar, uint32_t,                                                                      \
    (dshandle * handle, const char* dn, const char* attribute, const char* value))

/*
 * term - stop the module: withdraw the entry table and release the module state
 *
 * Withdraws the entry table that the module's entry routine registered with the host, releases
 * the LDAP extension object and the module's status object, and frees the module state. Without
 * a host control block (the module was never started) it does nothing. A host reaches it through
 * qorkernel_module_stop.
 *
 * Returns:
 *   nothing  term reports nothing.
 *
 * Notes:
 *   term does not close connections: close every handle with dsclose first. Until the entry
 *   routine runs again, dsopen fails with DS_E_NO_EXTENSION.
 *
 * Threads:
 *   term must not overlap any other call into the module, on any thread.
 *
 * See also:
 *   dsopen, dsclose
 */

/*
 * dsopen - open a directory connection and make its handle
 *
 * Gathers the connection settings, creates a pool and a status object for the connection, builds
 * the handle in that pool and asks the LDAP extension to open the connection. On success *handle
 * is the new handle; on failure *handle is left as it was and nothing stays allocated.
 *
 * Each setting is taken from the first source that yields it: the argument, then the host's macro
 * symbol of the current task (qorkernel_set_macro), then the environment variable of the same
 * name (the process's, or a qorkernel_set_env override), then the default:
 * - host: argument not NULL and not empty; LDAP_HOST (an empty value is no value); at most 63
 *   bytes from the environment; none: DS_E_NO_HOST.
 * - port: argument not 0; LDAP_PORT, at most 8 bytes as a macro, 6 from the environment, read as
 *   decimal digits after any blanks (no digits: 0, which leaves LDAP's 389); default 389.
 * - base: argument not NULL (an empty text is the empty DN, and counts); LDAP_BASE (empty counts
 *   too); at most 255 bytes from the environment; none: DS_E_NO_BASE.
 * - bindDn, bindPw: argument not NULL and not empty; LDAP_BINDDN, LDAP_BINDPW; at most 255 and 63
 *   bytes from the environment; none: an anonymous connection.
 * - timeout (no argument): LDAP_TIMEOUT, at most 7 bytes as a macro, 6 from the environment;
 *   seconds for connecting and for each reply, 0 for no limit; not a number, or none: 30.
 * - TLS (no argument, no macro): the environment variable LDAP_TLSMODE, set, not empty and not
 *   beginning with the digit 0, asks for StartTLS on every ldap:// and plain-host server.
 *
 * A value found but longer than allowed fails the open with the setting's own status
 * (DS_E_HOST_TOO_LONG and its kin, under Returns); it is never cut short nor replaced by the
 * default. dsopen does not read LDAPURI, LDAPBASE or the URI and BASE
 * of ldap.conf (qorhost falls back to those itself); the extension reads ldap.conf, LDAPCONF,
 * ~/.ldaprc and the LDAPTLS_* variables for TLS certificates only.
 *
 * The host text takes one of three forms:
 * - "ldif:PATH", optionally followed by ";schema=FILE" for each site schema file: an embedded
 *   directory kept in the LDIF file PATH, which changes are written to. Port and TLS mean nothing
 *   to it; the timeout bounds how long a write waits for the file's lock.
 * - "replica:URIS", optionally followed by ";staleness=MILLISECONDS" (default 1000) and
 *   ";wait=SECONDS" (default 10): the LDAP servers URIS (the next form), opened as that form
 *   opens them, and a replica of the directory under the base kept in the process by content
 *   synchronisation (RFC 4533), shared by the process's connections to the same servers, base,
 *   bind DN and staleness. Reads are answered from the replica while it is known to be at most the
 *   staleness behind the server, and by the server otherwise, never from a replica that may be
 *   older; writes go to the server, and return once the replica holds them or the staleness has
 *   passed. The open waits at most the wait for the replica's first refresh, and never fails
 *   because of the replica. The server needs slapd's syncprov overlay (or 389 Directory Server's
 *   Content Synchronization plugin), and the bind DN must not be cut by its size limit.
 *   qorkernel_latest_diagnostic says who answered each read or write: "answered by: replica"
 *   or "answered by: server (REASON)".
 * - one or more LDAP servers separated by blanks, tried in order while a server cannot be
 *   reached: ldap://HOST[:PORT], ldaps://HOST[:PORT], ldapi://..., or a plain HOST, HOST:PORT or
 *   [IPv6]:PORT. A plain host without its own port takes the port setting; a URI keeps its own.
 *   A comma anywhere, an unknown scheme or a port outside 1-65535 is refused. ldaps:// is always
 *   TLS; certificates are always verified.
 *
 * Arguments:
 *   handle  where the new handle is stored. NULL: DS_E_MISSING_ARGUMENT.
 *   host    the host text (forms above), or NULL or "" to use LDAP_HOST.
 *   port    the port for plain host names, or 0 to use LDAP_PORT.
 *   unused  not read; pass NULL.
 *   base    the search base of dsreslv and dsexpgrp, or NULL to use LDAP_BASE. The operations
 *           that name their entry by DN do not use it.
 *   bindDn  the DN to bind as, or NULL or "" for LDAP_BINDDN; none at all: anonymous.
 *   bindPw  the bind password, or NULL or "" for LDAP_BINDPW.
 *
 * Returns:
 *   DS_OK                  the connection is open and *handle set.
 *   DS_E_MISSING_ARGUMENT  handle is NULL, or the extension refused the host text (see above).
 *   DS_E_NO_EXTENSION      the module is not started, or its LDAP extension could not be loaded.
 *   DS_E_NO_MEMORY         the pool or a block of it could not be had.
 *   DS_E_NO_HOST           no host from any source.
 *   DS_E_NO_BASE           no base from any source.
 *   DS_E_TIMEOUT_TOO_LONG  LDAP_TIMEOUT is too long (likewise DS_E_HOST_TOO_LONG,
 *                          DS_E_PORT_TOO_LONG, DS_E_BIND_DN_TOO_LONG, DS_E_BIND_PW_TOO_LONG and
 *                          DS_E_BASE_TOO_LONG for the other settings).
 *   DS_E_NOT_OPENED        no server could be reached, or the ldif: file is not there.
 *   DS_E_OTHER             the open failed for a reason the module does not know.
 *   an LDAP result         the directory refused the open: 0x80144031 invalid credentials,
 *                          0x80144035 a bind DN without a password, 0x80144054 an ldif: file
 *                          that cannot be loaded, 0x8014405B TLS failed, ...
 *
 * Memory:
 *   The handle and its pool belong to the caller until dsclose. The settings are copied only for
 *   the call and given back when it returns; the bind password is overwritten with zeros first.
 *
 * Sends:
 *   To LDAP servers: for each server in turn, a connection (with TLS when asked for), then a
 *   simple bind with bindDn and bindPw, or none without a bind DN. A server that cannot be reached
 *   gives way to the next; any other failure ends the open. For ldif: the file is loaded. For
 *   replica: the same, then, unless the process has that replica already, a second connection and
 *   bind for the replica, its schema read and its content synchronisation search.
 *
 * Notes:
 *   A failed dsopen leaves no handle: qorkernel_latest_diagnostic tells what the directory said
 *   (each server tried, or the line of a file at fault).
 *
 * See also:
 *   dsclose, dsopt, dsgeterr
 */

/*
 * dsclose - close a connection and release everything made for it
 *
 * Closes the connection and deletes the handle's pool, and with it the handle and every entry
 * list, attribute and text that the handle handed out and that is still there.
 *
 * Arguments:
 *   handle  the handle from dsopen. NULL, or a handle without a connection: nothing is done.
 *
 * Returns:
 *   DS_OK           the connection is closed, or there was nothing to close.
 *   an LDAP result  the extension failed to close the connection; the handle, its connection
 *                   and its pool stay as they were, and dsclose may be called again.
 *
 * Memory:
 *   After DS_OK the handle and every pointer obtained through it (entry lists, dsatt records,
 *   dsgstr texts) are invalid; do not call dsfree or dsfratt for them afterwards.
 *
 * Sends:
 *   To an LDAP server an unbind, then the connection is closed.
 *
 * See also:
 *   dsopen
 */

/*
 * dsopt - set a connection option, or replace the handle's options word
 *
 * Passes option and value to the connection, unless option is the module's own batch query, and
 * then replaces the handle's options word with flags unless flags is -1.
 *
 * The connection options are those of <vqeldap/options.h>:
 * - VQELDAP_OPT_SIZE_LIMIT (1): the most entries one search returns, 0 for no limit of the
 *   client's own (default 0). A search cut short by it returns its entries with a warning.
 * - VQELDAP_OPT_PAGE_SIZE (2): entries per page of a paged filter search, 0 for no paging
 *   (default 500).
 * - VQELDAP_OPT_DEREF (3): alias dereferencing, 0 never, 1 searching, 2 finding, 3 always.
 * - VQELDAP_OPT_TIMEOUT (4): seconds to wait for each reply, 0 for no limit (default: the timeout
 *   dsopen used).
 *
 * An unknown option or a value out of range is ignored: nothing reports it, not even dsgeterr. The
 * embedded (ldif:) directory acts only on the size limit and the timeout.
 *
 * The options word holds DSOPT_OPEN (bit 31, set by dsopen) and the search scope of dsreslv and of
 * dsexpgrp's subscriber searches in bits 4-5 (DSOPT_SCOPE in <qorldap/records.h>).
 *
 * Arguments:
 *   handle  the handle. NULL, or a handle without a connection: nothing is done.
 *   option  the option number; 0 with flags changes only the options word.
 *   value   the option's value.
 *   flags   -1 keeps the options word; any other value becomes the whole word, so pass
 *           DSOPT_OPEN | DSOPT_SCOPE(scope) to change the scope. Its low 32 bits also go to the
 *           connection, which does not read them.
 *   text    NULL; passed to the connection with its length, which does not read it.
 *
 * Returns:
 *   nothing  dsopt reports nothing.
 *
 * Example:
 *       dsopt(handle, VQELDAP_OPT_SIZE_LIMIT, 100, -1, NULL);
 *       dsopt(handle, 0, 0, DSOPT_OPEN | DSOPT_SCOPE(DSOPT_SCOPE_ONELEVEL), NULL);
 *
 * See also:
 *   dsreslv, dsexpgrp
 */

/*
 * dsiscls - tell whether an entry is of an object class
 *
 * Looks through the entry's attributes whose name begins with "objectclass" or "qorinterface"
 * (without regard to case) for a value that begins with the class name (without regard to case).
 * Both are prefix tests: "group" matches a value groupOfNames.
 *
 * Arguments:
 *   handle  a handle (its pool lends a copy of the name); need not have a connection. NULL: 0.
 *   entry   the entry, such as one of a list from dsreslv or dsrslvdn. NULL: 0.
 *   name    the class name; length bytes of it are read, a NUL among them included. NULL: 0.
 *   length  the number of bytes of name to compare. Negative: 0. With 0 every entry that has a
 *           value in such an attribute is of the class.
 *
 * Returns:
 *   1  the entry is of the class.
 *   0  it is not, an argument is missing, or the copy of the name could not be allocated.
 *
 * Memory:
 *   Takes length + 1 bytes from the handle's pool for the lower-cased copy of the name and gives
 *   them back before it returns.
 *
 * Effects:
 *   The entry is changed in place: the name of every attribute looked at, up to the one that
 *   matched, and every value compared are lower-cased.
 *
 * Sends:
 *   Nothing; only the entry is read.
 *
 * See also:
 *   dsexpgrp, dsrslvdn
 */

/*
 * dsexpgrp - expand a group into the subscriber entries of its members
 *
 * Reads the group, then for each value of its member attribute, in order, collects the subscriber
 * entries of the chosen kind whose qorpersondn is that member's DN. A member without any is read
 * by its DN; when it is a group itself (its class names groupOfUniqueNames or groupOfNames, tested
 * as dsiscls tests), it is expanded in the same way, and what it yields stands at its member's
 * place. Everything found goes into one flat entry list in that order. Duplicates stay: a
 * subscriber reached through two members or two groups is listed twice, as separate records.
 *
 * The member attribute is the group entry's first attribute named member or uniqueMember; the
 * values of any later one are not used. A uniqueMember value is taken without its optional unique
 * identifier ("#'0101'B"). A member DN goes into the subscriber filter escaped as an LDAP filter
 * value, so "*", "(" or ")" in it match only themselves.
 *
 * Which entries count as groups: only those whose class values begin with groupOfUniqueNames or
 * groupOfNames (objectClass or qorInterface, without regard to case). An entry of any other class
 * that lists members, such as Active Directory's group class, is read, found not to be a group
 * and skipped with everything it lists, as a person without subscriber entries is; nothing in
 * the result or the status says so. qorhost, when it traces an expansion, names each such
 * member. On Active Directory, nest groupOfNames entries, or list the members of a group of class
 * group in the groupOfNames itself.
 *
 * Nested groups: a group already on the path being expanded (the group itself, or one that
 * contains it) is skipped, so a cycle is cut without an error. At most 32 levels of groups below
 * groupDn are expanded; a group nested deeper fails the call with DS_E_LOOP_DETECT. A result of
 * more than 100,000 entries fails it with DS_E_EXPANSION_TOO_LARGE.
 *
 * A search or read that fails (the server gone, a timeout, no access, a malformed member DN) fails
 * the whole expansion: no member loses its subscribers without an error. A subscriber search
 * that matches nothing sends the member on to be read; a read that finds nothing (no entry, or
 * noSuchObject) skips the member. A subscriber search answered noSuchObject means the base is
 * not there: it fails the call with that result (0x80144020), as dsreslv would.
 *
 * Arguments:
 *   handle   an open handle. NULL, or no connection: DS_E_NO_CONNECTION.
 *   groupDn  the group's DN. NULL or empty: DS_E_MISSING_ARGUMENT.
 *   list     receives the entry list; set to NULL first. NULL: DS_E_MISSING_ARGUMENT.
 *   kind     DS_EXPAND_SUBSCRIBERS (1): entries of class or qorInterface qorsubscriber; any other
 *            value (DS_EXPAND_EVENT_SUBSCRIBERS): qor-eventsubscriber.
 *
 * Returns:
 *   DS_OK                     *list holds the entries found, possibly none (an empty list). *list
 *                             is NULL when the entry at groupDn has no member attribute (an
 *                             entry that is no group, or a group without members).
 *   a warning form            a search was cut short by a limit (0x00144004 size limit,
 *                             0x00144003 time limit, ...): *list holds what was found, which may
 *                             lack entries; the first such warning is returned.
 *   DS_W_NOT_FOUND            no entry has the DN groupDn; *list is NULL.
 *   DS_E_NO_CONNECTION        no usable handle.
 *   DS_E_MISSING_ARGUMENT     groupDn or list missing.
 *   DS_E_NO_MEMORY            a block could not be had.
 *   DS_E_LOOP_DETECT          groups nested more than 32 levels below groupDn.
 *   DS_E_EXPANSION_TOO_LARGE  more than 100,000 entries.
 *   DS_E_NO_DN                groupDn or a member DN is not a well-formed DN.
 *   an LDAP result            a search or read failed (DS_E_NOT_OPENED: the connection is
 *                             lost; 0x80144055: a timeout; ...). On every error *list is NULL.
 *
 * Memory:
 *   The list and its entries come from the handle's pool; release them with dsfree(handle, list).
 *   Everything else the call makes is released before it returns, also on failure, except a list
 *   whose enlargement the pool refused, which stays in the pool until dsclose.
 *
 * Effects:
 *   Sets handle->lastStatus to 0.
 *
 * Sends:
 *   A base-scope read of groupDn asking for member and uniqueMember. For each distinct member
 *   value: one subscriber search under the connection's base at the handle's scope (subtree unless
 *   dsopt changed it), with the filter
 *       (&(|(objectclass=K)(qorInterface=K))(qorpersondn=DN))
 *   K being the kind's class; if it finds nothing, a read of the member's DN (every attribute);
 *   if that is a group, a read of it for its member attributes, and so on down. A member value met
 *   again in the same call is not asked again: its entries are copied. On a connection that sends
 *   searches together (the LDAP servers' backend), the searches of up to 100 members of a group go
 *   out together, then their reads, then their group reads; the result and every status are those
 *   of the requests made one by one.
 *
 * Notes:
 *   dsopt's size limit applies to each search on its own, not to the whole list.
 *
 * See also:
 *   dsfree, dsreslv, dsrslvdn, dsiscls
 */

/*
 * dsreslv - find the entries that match a search filter
 *
 * Searches under the base the connection was opened with, at the handle's scope, and hands back
 * every entry found as a new entry list.
 *
 * An entry list is a NULL-terminated array of dsent pointers. Each dsent has its DN and a
 * NULL-terminated atts array; each dsatt has its name, nvals and a vals array of nvals values plus
 * a NULL slot; each dsval has tag DSV_TEXT, data 0 and the value's bytes in text, zero-terminated
 * (len as the comment at dsval in <qorldap/records.h> says). Entries, attributes and values keep
 * the directory's order.
 *
 * Arguments:
 *   handle      an open handle. NULL, or no connection: DS_E_NO_CONNECTION.
 *   filter      an LDAP search filter (RFC 4515). NULL or "" matches every entry.
 *   attributes  the attribute names to return, ending in NULL, passed to the directory as they
 *               are ("*" every user attribute, "+" the operational ones, "1.1" none). NULL, or a
 *               list holding only NULL: every user attribute. A name the entry lacks is left out.
 *   list        receives the entry list; written only when entries are delivered. NULL:
 *               DS_E_MISSING_ARGUMENT.
 *
 * Returns:
 *   DS_OK                  *list holds the entries.
 *   a warning form         the search returned entries but was cut short by a limit (0x00144004
 *                          size limit, 0x00144003 time limit, 0x0014400B administrative limit):
 *                          *list holds them and may lack others.
 *   DS_W_NOT_FOUND         no entry matches; *list is untouched.
 *   DS_E_NO_CONNECTION     no usable handle.
 *   DS_E_MISSING_ARGUMENT  list is NULL.
 *   DS_E_NO_MEMORY         the copy could not be allocated.
 *   DS_E_OTHER             a failure the module does not know, or a handle without a status
 *                          object.
 *   an LDAP result         the search failed: 0x80144057 a malformed filter, 0x80144020 the base
 *                          is not there, DS_E_NOT_OPENED the connection is lost, 0x80144055 a
 *                          timeout, ... *list is untouched.
 *
 * Memory:
 *   The list and everything in it come from the handle's pool; release them with
 *   dsfree(handle, list). A failed call leaves nothing allocated, except a list whose
 *   enlargement the pool refused, which stays in the pool until dsclose.
 *
 * Sends:
 *   One search: the filter under the connection's base, in subtree scope unless dsopt set one
 *   level or base (DSOPT_SCOPE). The LDAP servers' backend asks for a subtree or one-level search
 *   in pages of 500 entries (VQELDAP_OPT_PAGE_SIZE), one request per page. Continuation references
 *   and referrals the server returns are not followed: the URI of each, from every page, is a line
 *   "reference: URI" of qorkernel_handle_diagnostic after the call, which succeeds with the
 *   entries that came.
 *
 * See also:
 *   dsrslvdn, dsfree, dsopt, dsgeterr
 */

/*
 * dsrslvdn - read one entry by its DN
 *
 * Reads the entry that dn names, with the attributes asked for, and hands it back as an entry list
 * of one entry (the layout described at dsreslv).
 *
 * Arguments:
 *   handle      an open handle. NULL, or no connection: DS_E_NO_CONNECTION.
 *   dn          the entry's DN. NULL or "" reads the root DSE (the entry with the empty DN).
 *   attributes  the attribute names to return, ending in NULL, as for dsreslv; NULL, or a list
 *               holding only NULL: every user attribute.
 *   list        receives the entry list; written only when the entry is delivered. NULL:
 *               DS_E_MISSING_ARGUMENT.
 *
 * Returns:
 *   DS_OK                  *list holds the entry.
 *   a warning form         the entry came with a reported failure; *list holds it.
 *   DS_W_NOT_FOUND         no entry has that DN (nothing returned, or noSuchObject); *list is
 *                          untouched.
 *   DS_E_NO_CONNECTION     no usable handle.
 *   DS_E_MISSING_ARGUMENT  list is NULL.
 *   DS_E_NO_MEMORY         the copy could not be allocated.
 *   DS_E_NO_DN             dn is not a well-formed DN.
 *   DS_E_OTHER             a failure the module does not know, or a handle without a status
 *                          object.
 *   an LDAP result         the read failed: DS_E_NOT_OPENED the connection is lost, 0x80144055 a
 *                          timeout, 0x80144032 no access, ... *list is untouched.
 *
 * Memory:
 *   As dsreslv: the list comes from the handle's pool; release it with dsfree(handle, list).
 *
 * Sends:
 *   One base-scope search at dn. The connection's base and the handle's scope are not used.
 *
 * See also:
 *   dsreslv, dsfree
 */

/*
 * dsreg - register (add) one entry
 *
 * Adds an entry with the caller's attributes and values. The records are read, never changed,
 * copied or kept.
 *
 * Each value goes out by its tag: DSV_TEXT as its text (all len bytes when len is set),
 * DSV_STRING and any unknown tag as its text (a NULL text as an empty value), DSV_INT, DSV_LONG
 * and DSV_SHORT as the decimal text of data.number, DSV_FLOAT and DSV_DOUBLE as the shortest
 * decimal text of data.real, DSV_BINARY as its len bytes at data.bytes. A directory value that a
 * typed getter has converted therefore goes out as the number: "007" read with dsgint is sent as
 * "7". Read values to resend through a copy, or not at all.
 *
 * Arguments:
 *   handle  an open handle, bound as a DN allowed to write. NULL, or no connection:
 *           DS_E_NO_CONNECTION.
 *   dn      the DN of the new entry. NULL: DS_E_NO_DN. "": the entry's own dn is used.
 *   entry   the entry: its atts array, ending in NULL, with at least one attribute; its dn is
 *           read only when dn is "". An attribute may come from dsmkatt or from a list; one with
 *           nvals 0 is left out. NULL: DS_E_MISSING_ARGUMENT.
 *
 * Returns:
 *   DS_OK                   the entry was added.
 *   DS_E_NO_CONNECTION      no usable handle.
 *   DS_E_NO_DN              dn is NULL, or the directory found a DN not well formed.
 *   DS_E_MISSING_ARGUMENT   entry is NULL, or the directory side refused an argument: an empty
 *                           attribute name, an infinite or NaN real value, ...
 *   DS_E_NOTHING_TO_CHANGE  entry->atts is NULL or empty.
 *   DS_E_NO_VALUE           an attribute with a negative nvals, or without the value record its
 *                           nvals promises (vals NULL, or a NULL slot).
 *   DS_E_NO_MEMORY          a block could not be had.
 *   an LDAP result          the directory refused the add: 0x80144044 the entry exists, 0x80144041
 *                           an object class violation (also when every attribute was left out),
 *                           0x80144008 the connection is not bound, 0x80144032 no access, ...
 *
 * Memory:
 *   The extension's records are built in the handle's pool and released before dsreg returns,
 *   whatever the outcome. The caller's records stay the caller's: release dsmkatt attributes with
 *   dsfratt.
 *
 * Sends:
 *   One LDAP add request.
 *
 * Example:
 *       dsatt* atts[4];
 *       dsent entry;
 *       atts[0] = dsmkatt(h, "objectClass", 1, DSV_STRING, "qorsubscriber");
 *       atts[1] = dsmkatt(h, "cn", 1, DSV_STRING, "pat-phone");
 *       atts[2] = dsmkatt(h, "qorpersondn", 1, DSV_STRING, "uid=pat,ou=people,o=example");
 *       atts[3] = NULL;
 *       entry.dn = "cn=pat-phone,ou=subscribers,o=example";
 *       entry.atts = atts;
 *       status = dsreg(h, entry.dn, &entry);
 *       for (i = 0; i < 3; ++i) dsfratt(h, atts[i]);
 *
 * See also:
 *   dsmkatt, dsdereg, dsmodify
 */

/*
 * dsmodify - change an entry: one attribute per modification
 *
 * Applies every modification to the entry in one request, all or nothing. Values go out as dsreg
 * sends them.
 *
 * Arguments:
 *   handle  an open handle, bound as a DN allowed to write. NULL, or no connection:
 *           DS_E_NO_CONNECTION.
 *   dn      the entry's DN. NULL or "": DS_E_NO_DN.
 *   mods    the modifications, ending in NULL. Each dsmod has op, 0 add the values, 1 delete
 *           them (with no values: the whole attribute), 2 replace the attribute's values with
 *           them, and att, one attribute. NULL, or an empty array: DS_E_NOTHING_TO_CHANGE.
 *
 * Returns:
 *   DS_OK                   every modification was applied.
 *   DS_E_NO_CONNECTION      no usable handle.
 *   DS_E_NO_DN              dn is NULL or empty, or the directory found it not well formed.
 *   DS_E_NOTHING_TO_CHANGE  mods is NULL or empty, or a modification's att is NULL.
 *   DS_E_NO_VALUE           an attribute without values for an op other than 1, a negative nvals,
 *                           or a value record missing.
 *   DS_E_MISSING_ARGUMENT   the directory side refused an argument: an op other than 0, 1 and 2,
 *                           an empty attribute name, an infinite or NaN real value, ...
 *   DS_E_NO_MEMORY          a block could not be had.
 *   an LDAP result          the directory refused the change: 0x80144020 no such entry,
 *                           0x80144010 no such attribute or value, 0x80144014 the value exists,
 *                           0x80144008 not bound, ...; nothing was changed.
 *
 * Memory:
 *   The extension's records are built in the handle's pool and released before dsmodify returns.
 *   The caller's records are only read.
 *
 * Sends:
 *   One LDAP modify request holding every modification.
 *
 * Example:
 *       dsatt* mail = dsmkatt(h, "mail", 1, DSV_STRING, "pat@example.org");
 *       dsmod replace = {2, mail};
 *       dsmod* mods[2] = {&replace, NULL};
 *       status = dsmodify(h, "uid=pat,ou=people,o=example", mods);
 *       dsfratt(h, mail);
 *
 * See also:
 *   dsmodpad, dsmodone, dsmkatt, dsreg
 */

/*
 * dsmodpad - change an entry: a list of attributes per modification
 *
 * As dsmodify, but each modification carries a list of attributes, all changed with its op.
 *
 * Arguments:
 *   handle  an open handle, bound as a DN allowed to write. NULL, or no connection:
 *           DS_E_NO_CONNECTION.
 *   dn      the entry's DN. NULL or "": DS_E_NO_DN.
 *   mods    the modifications, ending in NULL. Each dsmodp has op (0 add, 1 delete, 2 replace)
 *           and atts, attributes ending in NULL; an atts holding only NULL changes nothing. Every
 *           attribute needs at least one value, whatever the op. NULL, or an empty array:
 *           DS_E_NOTHING_TO_CHANGE.
 *
 * Returns:
 *   DS_OK                   every modification was applied.
 *   DS_E_NO_CONNECTION      no usable handle.
 *   DS_E_NO_DN              dn is NULL or empty, or the directory found it not well formed.
 *   DS_E_NOTHING_TO_CHANGE  mods is NULL or empty, or a modification's atts is NULL.
 *   DS_E_NO_VALUE           an attribute with nvals 0 or less, or a value record missing.
 *   DS_E_MISSING_ARGUMENT   the directory side refused an argument, as for dsmodify.
 *   DS_E_NO_MEMORY          a block could not be had.
 *   an LDAP result          the directory refused the change, as for dsmodify; nothing was
 *                           changed.
 *
 * Memory:
 *   As dsmodify: built in the handle's pool and released before it returns.
 *
 * Sends:
 *   One LDAP modify request holding every attribute of every modification.
 *
 * See also:
 *   dsmodify, dsmodone
 */

/*
 * dsmodone - change one attribute of an entry by one text value
 *
 * Applies op to the attribute name with the one value, without building any record.
 *
 * Arguments:
 *   handle  an open handle, bound as a DN allowed to write. NULL, or no connection:
 *           DS_E_NO_CONNECTION.
 *   dn      the entry's DN. NULL: DS_E_NO_DN. "" is sent as it is.
 *   op      0 add the value, 1 delete it, 2 replace the attribute's values with it. Any other
 *           value: DS_E_MISSING_ARGUMENT.
 *   name    the attribute's name. NULL: DS_E_NOTHING_TO_CHANGE; "": DS_E_MISSING_ARGUMENT.
 *   value   points to the value as a NUL-terminated text (the bytes up to the NUL are the value).
 *           NULL: DS_E_NO_VALUE. To delete a whole attribute use dsmodify with op 1 and an
 *           attribute without values.
 *
 * Returns:
 *   DS_OK                   the change was applied.
 *   DS_E_NO_CONNECTION      no usable handle.
 *   DS_E_NO_DN              dn is NULL, or the directory found it not well formed.
 *   DS_E_NOTHING_TO_CHANGE  name is NULL.
 *   DS_E_NO_VALUE           value is NULL.
 *   DS_E_MISSING_ARGUMENT   op is not 0, 1 or 2, or name is empty.
 *   an LDAP result          the directory refused the change, as for dsmodify.
 *
 * Memory:
 *   Allocates nothing.
 *
 * Sends:
 *   One LDAP modify request with one change.
 *
 * See also:
 *   dsmodify, dsmodpad
 */

/*
 * dsdereg - deregister (delete) one entry
 *
 * Deletes the entry that dn names.
 *
 * Arguments:
 *   handle  an open handle, bound as a DN allowed to write. NULL, or no connection:
 *           DS_E_NO_CONNECTION.
 *   dn      the entry's DN. NULL or "": DS_E_NO_DN.
 *
 * Returns:
 *   DS_OK               the entry was deleted.
 *   DS_E_NO_CONNECTION  no usable handle.
 *   DS_E_NO_DN          dn is NULL or empty, or the directory found it not well formed.
 *   an LDAP result      the directory refused: 0x80144020 no such entry, 0x80144042 the entry
 *                       has entries below it, 0x80144008 not bound, 0x80144032 no access, ...
 *
 * Memory:
 *   Allocates nothing.
 *
 * Sends:
 *   One LDAP delete request.
 *
 * See also:
 *   dsreg
 */

/*
 * dsfree - release an entry list
 *
 * Gives back to the handle's pool every entry of the list (its attributes, values, texts and
 * DN), then the list array itself.
 *
 * Arguments:
 *   handle  the handle whose operation made the list; it need not have a connection, but must
 *           not be closed. NULL: DS_E_NO_CONNECTION, nothing released.
 *   list    an entry list from dsreslv, dsrslvdn or dsexpgrp, not released yet. NULL:
 *           DS_E_MISSING_ARGUMENT.
 *
 * Returns:
 *   DS_OK                  the list is released.
 *   DS_E_NO_CONNECTION     handle is NULL (checked before list).
 *   DS_E_MISSING_ARGUMENT  list is NULL.
 *
 * Memory:
 *   After DS_OK the list, its entries and every pointer into them (dsgstr texts included) are
 *   invalid. The records are not checked: a list of another handle, one released already, or one
 *   from which an attribute was given to dsfratt is released wrongly.
 *
 * See also:
 *   dsfratt, dsclose, dsreslv
 */

/*
 * dsgshrt - read a value as a short
 *
 * Returns the value as a 16-bit integer. On a value still held as text (DSV_TEXT) it parses the
 * text once and caches the number: see Effects.
 *
 * The text is read as a decimal number: blanks before it are skipped, the first byte that is not a
 * digit ends it, and a sign is not accepted ("-5" gives 0). No digits, or a number beyond
 * 2147483647, give 0. The number is kept as an int and returned as a short, that is, its low 16
 * bits: "70000" gives 4464.
 *
 * Arguments:
 *   value  the value record, from a list or from dsmkatt. NULL: 0.
 *
 * Returns:
 *   the value  by its tag: DSV_TEXT the text parsed as above; DSV_INT, DSV_LONG, DSV_SHORT the
 *              low 16 bits of data.number; DSV_FLOAT, DSV_DOUBLE data.real truncated toward zero
 *              and held within -32768..32767 (NaN gives 0); DSV_STRING the text parsed anew on
 *              every call; DSV_BINARY and any other tag 0.
 *
 * Effects:
 *   On a DSV_TEXT value it stores the parsed number in data.number and sets type to DSV_SHORT.
 *   Every later getter reads that number, not the text, so the first getter decides it: "-5" read
 *   first with dsgshrt stays 0 for dsgint as well. A converted value is sent to the directory as
 *   the number (dsreg). Other tags are left as they are.
 *
 * See also:
 *   dsgint, dsglong, dsgstr
 */

/*
 * dsgint - read a value as an int
 *
 * Returns the value as a 32-bit integer. On a value still held as text (DSV_TEXT) it parses the
 * text once and caches the number: see Effects.
 *
 * The text is read as a decimal number: blanks before it are skipped, one leading "+" or "-" is
 * accepted, and the first byte that is not a digit ends it ("  42abc" gives 42). No digits, or a
 * number beyond 2147483647 either way, give 0.
 *
 * Arguments:
 *   value  the value record, from a list or from dsmkatt. NULL: 0.
 *
 * Returns:
 *   the value  by its tag: DSV_TEXT the text parsed as above; DSV_INT, DSV_LONG, DSV_SHORT
 *              data.number as an int (its low 32 bits); DSV_FLOAT, DSV_DOUBLE data.real truncated
 *              toward zero and held within the int's range (NaN gives 0); DSV_STRING the text
 *              parsed anew on every call; DSV_BINARY and any other tag 0.
 *
 * Effects:
 *   On a DSV_TEXT value it stores the number in data.number and sets type to DSV_INT; every later
 *   getter reads that number, not the text. On "3.75", dsgint then dsgdbl give 3 and 3.0, while
 *   dsgdbl then dsgint give 3.75 and 3. A converted value is sent to the directory as the number.
 *   Other tags are left as they are.
 *
 * See also:
 *   dsgshrt, dsglong, dsgdbl
 */

/*
 * dsglong - read a value as a long (64-bit)
 *
 * Returns the value as a 64-bit integer. On a value still held as text (DSV_TEXT) it parses the
 * text once and caches the number: see Effects.
 *
 * The text is parsed as dsgshrt parses it: no sign accepted ("-12" gives 0), and at most
 * 2147483647: a longer number, such as "2147483648", gives 0. Values beyond 32 bits are read only
 * from records whose data already holds them (a DSV_LONG value made by dsmkatt).
 *
 * Arguments:
 *   value  the value record, from a list or from dsmkatt. NULL: 0.
 *
 * Returns:
 *   the value  by its tag: DSV_TEXT the text parsed as above; DSV_INT, DSV_LONG, DSV_SHORT
 *              data.number; DSV_FLOAT, DSV_DOUBLE data.real truncated toward zero and held within
 *              the 64-bit range (NaN gives 0); DSV_STRING the text parsed anew on every call;
 *              DSV_BINARY and any other tag 0.
 *
 * Effects:
 *   On a DSV_TEXT value it stores the number in data.number and sets type to DSV_LONG; every
 *   later getter reads that number, not the text. Other tags are left as they are.
 *
 * See also:
 *   dsgint, dsgshrt
 */

/*
 * dsgflt - read a value as a float
 *
 * Returns the value as a float. On a value still held as text (DSV_TEXT) it converts the text
 * once, through the host's conversion routine, and caches the number: see Effects.
 *
 * With the qorkernel host the text is read as a decimal number with an optional sign and exponent:
 * blanks before it are skipped, text after it is ignored ("1.5x" gives 1.5), a text without a
 * number gives 0, and a number too large gives an infinity. A double beyond the float's range
 * becomes an infinity on return.
 *
 * Arguments:
 *   value  the value record, from a list or from dsmkatt. NULL: 0.
 *
 * Returns:
 *   the value  by its tag: DSV_TEXT the text converted as above; DSV_FLOAT, DSV_DOUBLE data.real;
 *              DSV_INT, DSV_LONG, DSV_SHORT data.number; DSV_STRING the text converted anew on
 *              every call; DSV_BINARY and any other tag 0.
 *
 * Effects:
 *   On a DSV_TEXT value it stores the double in data.real and sets type to DSV_FLOAT. It also sets
 *   type to DSV_FLOAT on a DSV_DOUBLE value (dsgdbl then dsgflt leaves DSV_FLOAT). Every later
 *   getter reads that number, not the text; an integer getter truncates it. Integer, string and
 *   binary tags are left as they are.
 *
 * See also:
 *   dsgdbl, dsgint
 */

/*
 * dsgdbl - read a value as a double
 *
 * Returns the value as a double. On a value still held as text (DSV_TEXT) it converts the text
 * once, through the host's conversion routine, and caches the number: see Effects. The text is
 * read as dsgflt reads it.
 *
 * Arguments:
 *   value  the value record, from a list or from dsmkatt. NULL: 0.
 *
 * Returns:
 *   the value  by its tag: DSV_TEXT the text converted as at dsgflt; DSV_FLOAT, DSV_DOUBLE
 *              data.real; DSV_INT, DSV_LONG, DSV_SHORT data.number; DSV_STRING the text
 *              converted anew on every call; DSV_BINARY and any other tag 0.
 *
 * Effects:
 *   On a DSV_TEXT value it stores the double in data.real and sets type to DSV_DOUBLE; it also
 *   sets DSV_DOUBLE on a DSV_FLOAT value. Every later getter reads that number, not the text: on
 *   "3.75", dsgdbl then dsgint give 3.75 and 3. Integer, string and binary tags are left as they
 *   are.
 *
 * See also:
 *   dsgflt, dsgint
 */

/*
 * dsgbin - kept for the table's layout: always 0
 *
 * Reads nothing and returns 0. A binary value is read from its record: a DSV_BINARY value has len
 * bytes at data.bytes; a directory value (DSV_TEXT) holding zero bytes has len of them at text.
 *
 * Arguments:
 *   ignored  not read.
 *
 * Returns:
 *   0  always.
 *
 * See also:
 *   dsgstr
 */

/*
 * dsgstr - read a value's text
 *
 * Returns the value's text pointer as it is: the directory's bytes, zero-terminated, for a value
 * from a list (DSV_TEXT, also after a getter converted it); the copied string for a DSV_STRING
 * value made by dsmkatt; NULL for the other values dsmkatt makes.
 *
 * Arguments:
 *   value  the value record. NULL: NULL.
 *
 * Returns:
 *   the text  owned by the value; do not free it. It stays valid until the list or attribute
 *             that holds the value is released (dsfree, dsfratt) or the handle closed (dsclose).
 *             For a directory value whose len is not 0, the text holds zero bytes and has len
 *             bytes in all.
 *
 * Notes:
 *   dsiscls lower-cases the texts of the class values it compares, in place.
 *
 * See also:
 *   dsgint, dsgbin
 */

/*
 * dsmkatt - make an attribute with its values, for dsreg and the modify operations
 *
 * Builds one dsatt named name with count values, each given in the variable argument list as a
 * type tag followed by the payload the tag asks for.
 *
 * The attribute has nvals = count and a vals array of exactly count values, with no NULL slot
 * after them: walk it by nvals. Each dsval has type = its tag and:
 * - DSV_INT, DSV_SHORT: data.number = the int, sign-extended.
 * - DSV_LONG: data.number = the int64_t.
 * - DSV_FLOAT, DSV_DOUBLE: data.real = the double.
 * - DSV_BINARY: len = the count, data.bytes = a copy of the bytes.
 * - DSV_STRING: text = a copy of the string (NULL gives "").
 * - any other tag, DSV_TEXT included: nothing more (no text); no payload is read for it.
 *
 * Arguments:
 *   handle  the handle whose pool takes the records; need not have a connection. NULL: NULL,
 *           with nothing recorded.
 *   name    the attribute's name, copied. NULL gives the empty name.
 *   count   the number of values; 0 gives an attribute without values (which dsreg leaves out
 *           and dsmodify with op 1 takes as "delete the attribute"). Negative: NULL.
 *   ...     count times: an int tag, then its payload. DSV_INT, DSV_SHORT: an int (a short is
 *           promoted). DSV_LONG: an int64_t (cast a constant: (int64_t)5). DSV_FLOAT,
 *           DSV_DOUBLE: a double (a float is promoted; cast an integer: 2.0, not 2). DSV_BINARY:
 *           an int64_t byte count (0 to 2147483647), then a const void* to the bytes (NULL only
 *           with the count 0). DSV_STRING: a const char*. Nothing marks where a value ends, so a
 *           payload of the wrong type misreads every later argument.
 *
 * Returns:
 *   the attribute   a new dsatt.
 *   a null pointer  handle is NULL, or the call failed: handle->lastStatus then says why, as
 *                   DS_E_MISSING_ARGUMENT (a negative count, a binary count out of range,
 *                   binary bytes missing) or DS_E_NO_MEMORY. A successful call leaves
 *                   lastStatus alone.
 *
 * Memory:
 *   The attribute, its name, its values, their texts and bytes come from the handle's pool and
 *   belong to the caller: release them with dsfratt(handle, attribute), or with dsclose. A failed
 *   call leaves nothing allocated. dsreg and the modify operations read the attribute and leave
 *   it to the caller.
 *
 * Notes:
 *   form_attribute takes the same arguments with the values as a va_list.
 *
 * Example:
 *       dsatt* a = dsmkatt(h, "description", 3, DSV_STRING, "pager", DSV_INT, 42,
 *                          DSV_DOUBLE, 2.5);
 *       if (a == NULL) status = (uint32_t)h->lastStatus;
 *
 * See also:
 *   dsfratt, dsreg, dsmodify
 */

/*
 * dsfratt - release one attribute
 *
 * Gives back to the handle's pool the attribute's nvals values (their bytes and texts), its name,
 * its value array and the record.
 *
 * Arguments:
 *   handle     the handle whose pool made the attribute, not closed. NULL: nothing is done.
 *   attribute  an attribute from dsmkatt, or one taken out of a list so that dsfree no longer
 *              reaches it. NULL: nothing is done. Only nvals slots of vals are read; NULL slots
 *              are passed over.
 *
 * Returns:
 *   nothing  dsfratt reports nothing.
 *
 * Memory:
 *   After the call the attribute and its values are invalid. The record is not checked: an
 *   attribute still in a list is released again by dsfree.
 *
 * See also:
 *   dsmkatt, dsfree
 */

/*
 * dsmynod - kept for the table's layout: always 0
 *
 * Reads nothing and returns 0.
 *
 * Arguments:
 *   ignored  not read.
 *
 * Returns:
 *   0  always.
 */

/*
 * dsdnprnt - copy the parent part of a name
 *
 * Writes into buffer the part of name after its first separator, and its length into *count.
 * Blanks and line feeds before the name are passed over. A name holding "=" is a DN: its separator
 * is the first "," or ";" that is neither escaped by a backslash nor inside double quotes, and the
 * parent is everything after it, blanks included ("cn=a, o=b" gives " o=b"). Any other name (mail
 * style, dotted) has as separator its first "@", or failing one its first ".": "user@area" gives
 * "area", "host.area.top" gives "area.top". "cn=Pat Doe,ou=People,o=Org" gives "ou=People,o=Org",
 * 15 bytes.
 *
 * Arguments:
 *   name    the name. NULL: *count is 0.
 *   buffer  where the parent part is written: at most size bytes, with no terminator; bytes past
 *           them are left alone. NULL: *count is 0.
 *   size    the buffer's size in bytes; a longer parent part is cut to it. 0 or less: *count is 0.
 *   count   receives the number of bytes written, 0 when the name has no parent part (no
 *           separator, or nothing after it: "cn=root", "name@"). NULL: not written.
 *
 * Returns:
 *   nothing  the result is the bytes in buffer and *count.
 *
 * Example:
 *       char parent[256];
 *       int32_t n;
 *       dsdnprnt("cn=Pat Doe,ou=People,o=Org", parent, sizeof parent - 1, &n);
 *       parent[n] = '\0';
 *
 * See also:
 *   dsrslvdn
 */

/*
 * dsgeterr - the kernel status of the handle's last directory request
 *
 * Returns the status that the handle's last request to the directory left in its status object,
 * unconverted: 0 after a success, else the kernel status 0x807FF800 + n (VQ_LDAP(n)) for LDAP
 * result code n, which a compare's answer (5 or 6) and a search cut short by a limit leave too.
 * A refusal of the module's own (a missing argument, no memory) sends no request and leaves the
 * status as it was, and so does dsopt. dsConvertVQStatus(VQ_NORMALISE(s)) gives the module status
 * of a kernel status s.
 *
 * Arguments:
 *   handle  the handle. NULL, or a handle without a status object: VQ_INVALID_STATUS_OBJECT.
 *
 * Returns:
 *   0                 the last request succeeded (or none was made).
 *   a kernel status   the last request failed, as VQ_LDAP(n) (0x807FF857: a malformed filter,
 *                     0x807FF851: the server is down, ...).
 *   0x80000805        VQ_INVALID_STATUS_OBJECT: no handle, or no usable status object.
 *
 * Notes:
 *   qorkernel_handle_diagnostic gives the text that came with the status (the server's message,
 *   the DN matched). A search that succeeded may have text too: the URIs of the continuation
 *   references and referrals it returned, which are reported and not followed.
 *
 * See also:
 *   dsopen, dsreslv
 */

/*
 * dscompar - ask whether an entry's attribute holds a value
 *
 * Compares value with the values of the entry's attribute under the attribute's matching rule
 * (for a case-ignoring type, "ALICE" matches "alice"). The answer comes as one of two statuses,
 * both with the error bit set: test them with DS_IS_COMPARE_ANSWER and DS_COMPARE_HOLDS, and
 * failures with DS_IS_FAILURE (<qorldap/status.h>).
 *
 * Arguments:
 *   handle     an open handle. NULL, or no connection: DS_E_NO_CONNECTION.
 *   dn         the entry's DN. NULL: DS_E_MISSING_ARGUMENT.
 *   attribute  the attribute's name. NULL, or "": DS_E_MISSING_ARGUMENT.
 *   value      the value as a NUL-terminated text; "" is sent as the empty value. NULL:
 *              DS_E_MISSING_ARGUMENT.
 *
 * Returns:
 *   DS_E_COMPARE_TRUE      the attribute holds the value (DS_COMPARE_HOLDS).
 *   DS_E_COMPARE_FALSE     it does not (DS_COMPARE_DIFFERS).
 *   DS_OK                  only from an extension that answers without a result; vqeldap always
 *                          answers with one of the two above.
 *   DS_E_NO_CONNECTION     no usable handle.
 *   DS_E_MISSING_ARGUMENT  an argument is NULL, or the attribute name is empty.
 *   DS_E_NO_DN             dn is not a well-formed DN.
 *   an LDAP result         the compare failed: 0x80144020 no such entry, 0x80144011 an attribute
 *                          type the directory does not know, 0x80144010 the entry lacks the
 *                          attribute, DS_E_NOT_OPENED, ...
 *
 * Memory:
 *   Allocates nothing.
 *
 * Sends:
 *   One LDAP compare request.
 *
 * Example:
 *       uint32_t s = dscompar(h, "uid=alice,ou=people,o=example", "mail", "alice@example.org");
 *       if (DS_IS_FAILURE(s)) ... ; else if (s == DS_COMPARE_HOLDS) ... ;
 *
 * See also:
 *   dsrslvdn
 */

enum { QORLDAP_TABLE_WORDS = 31, QORLDAP_FIRST_OPERATION_WORD = 4, QORLDAP_OPERATION_COUNT = 27 };

/* The exported operations. */
#define QORLDAP_DECLARE_OPERATION(word, name, result, parameters) QORLDAP_API result name parameters;
QORLDAP_OPERATIONS(QORLDAP_DECLARE_OPERATION)
#undef QORLDAP_DECLARE_OPERATION

/* dsmkatt's builder with its argument list as a va_list. */
QORLDAP_API dsatt* form_attribute(dshandle* handle, const char* name, int32_t count, va_list values);

/* The table as a typed struct: words 0-3 null, then the operations. */
typedef struct qorldap_table {
  void* reserved[QORLDAP_FIRST_OPERATION_WORD];
#define QORLDAP_TABLE_FIELD(word, name, result, parameters) result(*name) parameters;
  QORLDAP_OPERATIONS(QORLDAP_TABLE_FIELD)
#undef QORLDAP_TABLE_FIELD
} qorldap_table;

QOR_ASSERT_SIZE(qorldap_table, QOR_WORD(QORLDAP_TABLE_WORDS));
#define QORLDAP_ASSERT_WORD(word, name, result, parameters) \
  QOR_ASSERT_OFFSET(qorldap_table, name, QOR_WORD(word));
QORLDAP_OPERATIONS(QORLDAP_ASSERT_WORD)
#undef QORLDAP_ASSERT_WORD

QORLDAP_API extern const qorldap_table ldaptbl;

QOR_EXTERN_C_END

#endif
