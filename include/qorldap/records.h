/*
 * The directory records that host components walk field by field: entry
 * lists of dsent, their dsatt and dsval records, modification records, and
 * the connection handle.
 */
#ifndef QORLDAP_RECORDS_H
#define QORLDAP_RECORDS_H

#include <qorldap/abi/compat.h>

QOR_EXTERN_C_BEGIN

struct qor_pool;
struct qor_connection;
struct qor_extension;
struct qor_status_object;

/* Value type tags. */
enum {
  DSV_TEXT = 0,   /* text only, not yet converted */
  DSV_INT = 1,    /* int, sign-extended in data.number */
  DSV_LONG = 2,   /* long in data.number */
  DSV_SHORT = 3,  /* short, sign-extended in data.number */
  DSV_FLOAT = 4,  /* float, held as a double in data.real */
  DSV_DOUBLE = 5, /* double in data.real */
  DSV_BINARY = 6, /* len bytes at data.bytes */
  DSV_STRING = 7  /* the string at text */
};

typedef union dsdata {
  int64_t number;
  double real;
  void* bytes;
} dsdata;

/* One value. A value read from the directory has tag DSV_TEXT, data 0 and
   its bytes in text, zero-terminated. When those bytes hold a zero byte
   themselves (a binary value such as a photo), len also gives their count,
   so that the whole value can be read, and a value handed back to register
   or modify goes out with all len bytes; otherwise len is 0 and the text
   ends at its zero byte. Values that dsmkatt makes carry len only with tag
   DSV_BINARY.

   The typed getters (dsgshrt, dsgint, dsglong, dsgflt, dsgdbl) change the
   record they read: the first one converts the text, keeps the number in
   data and sets type, and every later getter reads that number, not the
   text. On "3.75", dsgint then dsgdbl give 3 and 3.0, while dsgdbl then
   dsgint give 3.75 and 3. Read a value first with the getter of the type
   wanted, or read a copy of the record. dsgstr returns text itself, valid
   until the list that holds the value is released with dsfree. */
typedef struct dsval {
  int32_t type;
  dsdata data;
  int64_t len;
  char* text;
} dsval;

typedef struct dsatt {
  char* name;
  dsval** vals;
  int32_t nvals;
} dsatt;

typedef struct dsent {
  char* dn;
  dsatt** atts; /* null-terminated */
} dsent;

/* Modification records: an operation code (0 add, 1 delete, 2 replace) and
   one attribute (dsmod) or a null-terminated array of them (dsmodp). */
typedef struct dsmod {
  uint32_t op;
  dsatt* att;
} dsmod;

typedef struct dsmodp {
  uint32_t op;
  dsatt** atts;
} dsmodp;

/* Options word: bit 31 set by dsopen; bits 4-5 the search scope of dsreslv
   (0 or 3 subtree, 1 one level, 2 base). */
#define DSOPT_OPEN 0x80000000ull
#define DSOPT_SCOPE_SHIFT 4
#define DSOPT_SCOPE_MASK 0x30ull
enum { DSOPT_SCOPE_SUBTREE = 0, DSOPT_SCOPE_ONELEVEL = 1, DSOPT_SCOPE_BASE = 2 };
/* The options word's scope bits for a scope: dsopt(handle, 0, 0, DSOPT_OPEN |
   DSOPT_SCOPE(DSOPT_SCOPE_ONELEVEL), NULL) makes dsreslv search one level
   (dsopt replaces the whole word, so the open bit is given again). */
#define DSOPT_SCOPE(scope) (((uint64_t)(scope) << DSOPT_SCOPE_SHIFT) & DSOPT_SCOPE_MASK)

/* The kinds of subscriber entries dsexpgrp collects for a group's members:
   subscribers (object class or interface qorsubscriber) or event subscribers
   (qor-eventsubscriber). Every kind other than 1 means event subscribers. */
enum { DS_EXPAND_SUBSCRIBERS = 1, DS_EXPAND_EVENT_SUBSCRIBERS = 2 };

typedef struct dshandle {
  struct qor_pool* pool;
  int32_t lastStatus;
  uint64_t options;
  struct qor_connection* connection;
  struct qor_extension* extension;
  struct qor_status_object* statusObject;
} dshandle;

QOR_ASSERT_SIZE(dsdata, 8);
QOR_ASSERT_SIZE(dsval, 32);
QOR_ASSERT_OFFSET(dsval, type, 0);
QOR_ASSERT_OFFSET(dsval, data, 8);
QOR_ASSERT_OFFSET(dsval, len, 16);
QOR_ASSERT_OFFSET(dsval, text, 24);
QOR_ASSERT_SIZE(dsatt, 24);
QOR_ASSERT_OFFSET(dsatt, name, 0);
QOR_ASSERT_OFFSET(dsatt, vals, 8);
QOR_ASSERT_OFFSET(dsatt, nvals, 16);
QOR_ASSERT_SIZE(dsent, 16);
QOR_ASSERT_OFFSET(dsent, dn, 0);
QOR_ASSERT_OFFSET(dsent, atts, 8);
QOR_ASSERT_SIZE(dsmod, 16);
QOR_ASSERT_OFFSET(dsmod, att, 8);
QOR_ASSERT_SIZE(dsmodp, 16);
QOR_ASSERT_OFFSET(dsmodp, atts, 8);
QOR_ASSERT_SIZE(dshandle, 48);
QOR_ASSERT_OFFSET(dshandle, pool, 0);
QOR_ASSERT_OFFSET(dshandle, lastStatus, 8);
QOR_ASSERT_OFFSET(dshandle, options, 16);
QOR_ASSERT_OFFSET(dshandle, connection, 24);
QOR_ASSERT_OFFSET(dshandle, extension, 32);
QOR_ASSERT_OFFSET(dshandle, statusObject, 40);

QOR_EXTERN_C_END

#endif
