/*
 * Options of vqeldap's connections, set with the connection's setOption
 * (option, value, flags, text, length; the module's dsopt passes its option
 * and value here). Only the option and the value are read. setOption returns
 * 0 when it applied the option, and the kernel status 0x807FF859 (parameter
 * error) for an unknown option or a value out of range, which change nothing.
 */
#ifndef VQELDAP_OPTIONS_H
#define VQELDAP_OPTIONS_H

enum {
  /* The most entries a search returns, 0 for no limit of the client's own
     (the server's limits still apply). Default 0. */
  VQELDAP_OPT_SIZE_LIMIT = 1,
  /* Entries asked for per page when a filter search uses the paged-results
     control; 0 turns paging off. Default 500. */
  VQELDAP_OPT_PAGE_SIZE = 2,
  /* Alias dereferencing in LDAP's numbering: 0 never, 1 while searching,
     2 when finding the base, 3 always. Default 0. */
  VQELDAP_OPT_DEREF = 3,
  /* Seconds to wait for each reply, 0 to wait without limit; a search also
     asks the server to end within that time. Default: the timeout the
     connection was opened with. */
  VQELDAP_OPT_TIMEOUT = 4
};

#endif
