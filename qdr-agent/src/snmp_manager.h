// SNMP session manager: the agent's only road to the devices it polls.
//
// Turns the agent's description of a device's SNMP access (snmp_info, with
// snmp_sec_info for SNMPv3 users) into a Net-SNMP session, opens and closes
// single sessions (snmp_sess_* API), sends GET requests for a list of OIDs
// and walks subtrees with GETBULK (GETNEXT on SNMPv1 sessions), hands every
// requested OID its own detached variable list (or, for callers that convert
// as they go, each answer's variables to a sink while the answer is alive,
// so that a long walk holds one answer at a time), records failures in a small
// error record that turns into one line of text, and keeps the process-wide
// counters that the main loop reports every three seconds (sm_get_perf).
//
// Owns: the eight counters (atomic, file-local, read through sm_get_perf)
// and two locks over the library's process-wide SNMPv3 user table (this
// Net-SNMP build has no locks of its own). Users are added and replaced only
// inside sm_snmp_open_by_session, with every SNMPv3 request and engine probe
// kept off the table meanwhile (a reader-writer lock: requests shared, a
// change exclusive). Adding or replacing a user therefore waits for the
// SNMPv3 exchanges in flight; that happens at the first session with a
// device and after its pass phrases change. Opening a session whose user is
// known waits for nobody's network exchange.
//
// Threads: every call is synchronous and may be made by any number of
// threads at once (the collect threads, the collector link's discovery, the
// one-shot request), each with its own session, response list and error
// record. The library must have been initialised (init_snmp) before SNMPv3
// sessions are opened.
#ifndef QDR_AGENT_SNMP_MANAGER_H
#define QDR_AGENT_SNMP_MANAGER_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "mlist.h"

#define SM_SEC_NAME_SIZE 256
#define SM_SEC_PASSWORD_SIZE 512
#define SM_PEERNAME_SIZE 80
#define SM_IP_SIZE 60
#define SM_COMMUNITY_SIZE 128
#define SM_RESPONSE_NAME_SIZE 128
#define SM_OID_MAX 128  // sub-identifiers of a parsed OID

// Default max-repetitions of a GETBULK when the caller passes less than 1.
#define SM_BULK_DEFAULT_REPETITIONS 80
// Default bound on the variables one subtree walk may collect.
#define SM_BULK_DEFAULT_VARIABLE_LIMIT 1000000u

// Request styles of OID packs and sm_request_multiple.
enum {
  SNMP_REQ_TYPE_GET = 0,
  SNMP_REQ_TYPE_BULK = 1,
  SNMP_REQ_TYPE_SUBTREE = 2,
};

// Security levels (Net-SNMP numbering).
enum {
  SM_SEC_LEVEL_NOAUTH = 1,  // noAuthNoPriv
  SM_SEC_LEVEL_AUTHNOPRIV = 2,
  SM_SEC_LEVEL_AUTHPRIV = 3,
};

// Bits of snmp_sec_info.algorithm_bit.
enum {
  SM_ALGORITHM_BIT_AUTH = 1,
  SM_ALGORITHM_BIT_PRIV = 2,
};

enum {
  SM_AUTH_NONE = 0,
  SM_AUTH_MD5 = 1,
  SM_AUTH_SHA = 2,
  SM_AUTH_SHA224 = 3,
  SM_AUTH_SHA256 = 4,
  SM_AUTH_SHA384 = 5,
  SM_AUTH_SHA512 = 6,
};

enum {
  SM_PRIV_NONE = 0,
  SM_PRIV_DES = 1,
  SM_PRIV_AES128 = 2,
  SM_PRIV_AES192 = 3,
  SM_PRIV_AES256 = 4,
};

// Result codes of the request functions.
enum {
  SM_ERR_NO_LIST = -101,          // "response list is empty"
  SM_ERR_RESPONSE = -102,         // "response error": the call failed or timed out
  SM_ERR_NO_RESPONSE_PDU = -103,  // "response info error"
  SM_ERR_RESPONSE_STAT = -104,    // "response data error": non-zero error status
  SM_ERR_REQ_TYPE = -105,         // "unknown request type"
  SM_ERR_NO_ERROR_RECORD = -106,  // "session error argument empty"
  SM_ERR_WALK_LIMIT = -107,       // "walk variable limit reached"
  SM_ERR_CANCELLED = -108,        // "request cancelled": the thread was asked to stop
};

// Longest single wait of a request for its answer: a cancelled thread gives
// up within about this time (see sm_set_thread_cancel).
#define SM_WAIT_SLICE_MSEC 100

// SNMPv3 user security.
typedef struct {
  char name[SM_SEC_NAME_SIZE];  // security (user) name
  int level;                    // SM_SEC_LEVEL_*
  uint8_t algorithm_bit;        // SM_ALGORITHM_BIT_*
  int auth_algorithm;           // SM_AUTH_*
  char auth_password[SM_SEC_PASSWORD_SIZE];
  int priv_algorithm;  // SM_PRIV_*
  char priv_password[SM_SEC_PASSWORD_SIZE];
} snmp_sec_info;

// How to reach one device. A session built from it borrows `peername`,
// `community` and the security name, so it must outlive the session.
typedef struct {
  char peername[SM_PEERNAME_SIZE];  // "ip:port" ("udp6:[ip]:port" for IPv6)
  char ip[SM_IP_SIZE];
  uint16_t port;
  int version;  // SNMP_VERSION_1 (0), SNMP_VERSION_2c (1), SNMP_VERSION_3 (3)
  char community[SM_COMMUNITY_SIZE];
  snmp_sec_info security;
  long timeout;  // microseconds; -1: the library default
  int retries;   // -1: the library default
} snmp_info;

// What went wrong with the last request or open.
typedef struct {
  long response_errstat;    // error status of the response PDU, 0 if none
  int sess_clib_error_num;  // system errno reported by the library
  int sess_snmp_error_num;  // library error number
  long sess_status;         // 0 success, 1 error (STAT_ERROR), 2 time-out (STAT_TIMEOUT)
  char *error_message;      // library text or null; freed by sm_snmp_error_clean
} snmp_session_error;

// One requested OID and its answer.
typedef struct {
  int is_oid_parser_error;  // 1: obj_id text did not parse, the entry is skipped
  int is_snmp_no_res;       // 1: the response did not contain this OID
  char name[SM_RESPONSE_NAME_SIZE];
  int type_code;  // OID type code of the OID manager
  oid obj_id[SM_OID_MAX];
  size_t obj_id_length;
  netsnmp_variable_list *variables;  // owned: one variable (GET) or the walked chain
} snmp_response_data;

// Process-wide counters; each wraps at 2^32 and is never reset.
typedef struct {
  uint32_t session_open;        // sessions opened
  uint32_t session_open_error;  // open failures
  uint32_t session_close;       // sessions closed
  uint32_t request;             // PDUs sent
  uint32_t request_error;       // synchronous call failed (error or time-out)
  uint32_t response;            // answers without error status
  uint32_t response_error;      // answers with an error status
  uint32_t fail;                // call succeeded but no answer PDU
} snmp_perf;

// ---- Building the session description ----

// Fills `info`: copies `ip`, stores `port`, forms `peername` ("%s:%hu", or
// "udp6:[%s]:%hu" when `ip` contains a colon), stores `version`, copies
// `community` when given, and stores `timeout_us` and `retries`, each
// replaced by -1 (library default) when 0 or less.
// Returns 0; -1 null `info` or `ip`; -2 version outside 0..3; -3 `ip` longer
// than 59 characters; -4 `community` longer than 127 characters. On failure
// `info` is unchanged.
int sm_set_snmp_info(snmp_info *info, const char *ip, uint16_t port, int version, long timeout_us,
                     int retries, const char *community);

// Fills the SNMPv3 part. Level 3 stores the privacy algorithm and pass phrase
// (bit 1) and everything level 2 stores; level 2 the authentication
// algorithm and pass phrase (bit 0); any other level only the name.
// Returns 0; -1 null `security`; -10 `auth_algorithm` outside 0..6; -11
// `privacy_algorithm` outside 0..4; -12 `name` longer than 255 characters;
// -13 a pass phrase the level needs is longer than 511 characters. Over-long
// values are refused rather than cut (a cut pass phrase would only fail
// later as a confusing authentication error). On failure `security` is
// unchanged. Null texts count as empty.
int sm_set_snmp_sec_info(snmp_sec_info *security, int level, const char *name, int auth_algorithm,
                         const char *auth_password, int privacy_algorithm,
                         const char *privacy_password);

// Zeroes the record. Returns 0, or -1 for null.
int sm_clear_snmp_info(snmp_info *info);

// ---- Sessions ----

// Fills a Net-SNMP session from `info`; the session borrows pointers into
// `info`. Returns 0; -1 null argument; -2 unknown algorithm; -3 key
// generation failed (for example a pass phrase shorter than 8 characters);
// -10 unsupported version (only v1, v2c and v3 are).
int sm_set_session_by_info(netsnmp_session *session, snmp_info *info);

// Opens a single session (snmp_sess_open). Returns the opaque handle, or
// null on failure with `sess_error` (if given) filled; the caller cleans the
// error record. A v3 open probes the device's engine id, so it may wait for
// the session's whole time-out and retries and fails ("Timeout") when the
// device does not answer; it then makes sure the library's user for this
// engine and name carries this session's keys (replacing a user left with
// older keys by an earlier session).
void *sm_snmp_open_by_session(netsnmp_session *session, snmp_session_error *sess_error);

// Closes a session opened by sm_snmp_open_by_session; null does nothing.
void sm_snmp_close(void *sess_fd);

// Forgets the pointers the session borrowed from its snmp_info. Returns 0,
// or -1 for null.
int sm_clear_session(netsnmp_session *session);

// ---- Response lists (mlist of snmp_response_data) ----

// Initialises `list` as an empty response list whose clear function frees
// each entry's variables. Returns 0, or -1 for null.
int sm_response_list_init(mlist_t *list);

// Frees every entry and its variables; the list stays usable. Returns 0.
int sm_response_list_clean(mlist_t *list);

// Appends an entry: `name` (cut to 127 characters), `type_code` and the OID
// text parsed into obj_id with room for SM_OID_MAX sub-identifiers. An OID
// that does not parse (bad text, too long) sets is_oid_parser_error; the
// entry is still appended and is skipped by the requests.
// Returns 0; -1 null list or allocation failure.
int sm_response_list_add(mlist_t *list, const char *name, int type_code, const char *obj_id);

// The first variable of the chain with exactly this name, or null.
netsnmp_variable_list *sm_find_var_from_list(netsnmp_variable_list *variables, const oid *name,
                                             size_t name_length);

// ---- Requests ----
// All return 0 on success or one of the SM_ERR_* codes with `sess_error`
// filled. A null `snmp_session_fd` fails cleanly with SM_ERR_RESPONSE
// without sending anything.

// One GET for every entry of the list whose OID parsed. Each answered entry
// gets its own one-variable chain; an entry absent from the answer gets
// is_snmp_no_res. A response with an error status gives no entry a value.
int sm_get_request(void *snmp_session_fd, mlist_t *snmp_response_list,
                   snmp_session_error *sess_error);

// Walks the subtree under the entry's OID, appending the variables to its
// chain in order (GETBULK with `req_max_repetitions`, 80 when less than 1;
// GETNEXT on an SNMPv1 session). The walk ends when an answer leaves the
// subtree, when the device answers endOfMibView (or noSuchName on v1), or
// when a name does not advance past the one before it (a device repeating
// or reordering names); what was collected before that stays. Failures keep
// the variables collected so far. SM_ERR_WALK_LIMIT when the walk passes the
// variable limit (sm_set_bulk_variable_limit).
int sm_bulk_request(void *snmp_session_fd, int req_max_repetitions, snmp_response_data *entry,
                    snmp_session_error *sess_error);

// sm_bulk_request for each entry (OID parsed) in list order, stopping at the
// first failure, whose code is returned. On a GETBULK session up to 16
// entries are walked side by side: each request carries the next name of
// every subtree not yet complete, with `req_max_repetitions` rows of them
// or fewer, so that an answer holds at most 256 variables (one row at
// least); the columns of a table thus cost one request a block of rows
// instead of one each. Each entry gets the variables, and each walk ends, as with
// sm_bulk_request; a failure fails the group, whose entries keep what was
// collected. An answer holding less than one row (a device's size limit),
// or tooBig, leaves the group's remaining walks to sm_bulk_request, one
// after the other.
int sm_bulk_request_multiple(void *snmp_session_fd, int req_max_repetitions,
                             mlist_t *snmp_response_list, snmp_session_error *sess_error);

// SNMP_REQ_TYPE_GET: sm_get_request; SNMP_REQ_TYPE_BULK:
// sm_bulk_request_multiple; any other type: SM_ERR_REQ_TYPE.
int sm_request_multiple(void *snmp_session_fd, int req_max_repetitions, int type,
                        mlist_t *snmp_response_list, snmp_session_error *sess_error);

// Receives, for one entry, the variables of one answer as it arrives: `vars`
// is the first of `count` variables, in order (follow next_variable; the
// chain may go on past the count). They belong to the answer, which is freed
// right after the call, so nothing pointing into them may be kept.
typedef void (*sm_var_receiver)(void *ctx, const snmp_response_data *entry,
                                const netsnmp_variable_list *vars, size_t count);
typedef struct {
  sm_var_receiver receive;
  void *ctx;
} sm_var_sink;

// sm_request_multiple that hands the variables to `sink` instead of the
// entries: a walk's answers one by one as they arrive (each answer freed
// before the next is asked for, so a walk holds one answer's variables at a
// time), a GET's answered entries one by one after the answer. The entries'
// `variables` stay null; is_snmp_no_res, the results, each entry's order,
// the variable limit and the error codes are those of sm_request_multiple.
// The walks of a group go side by side: an answer's runs come entry by
// entry in list order, then the next answer's. A null sink (or receiver) is
// sm_request_multiple.
int sm_request_multiple_to(void *snmp_session_fd, int req_max_repetitions, int type,
                           mlist_t *snmp_response_list, snmp_session_error *sess_error,
                           const sm_var_sink *sink);

// Makes every request the calling thread sends from now on give up with
// SM_ERR_CANCELLED within SM_WAIT_SLICE_MSEC once *flag is true: before it
// is sent, while it waits for its answer and between the requests of a walk
// (what was collected stays, as for any failure). A session open (the
// SNMPv3 engine probe) is not interrupted. Null: never cancelled. The flag
// must outlive its use by this thread. A pool sets it once per thread.
void sm_set_thread_cancel(const std::atomic<bool> *flag);

// While set, the calling thread's open and request failures are logged at
// level debug instead of error: for a poller that logs a device's failure
// once itself (when it starts and when it ends).
void sm_set_thread_quiet(bool quiet);

// What the calling thread's requests met since its last reset: answers
// received (any error status) and requests that timed out after all their
// retries; the SNMPv3 engine probe of an open counts as one of either.
// Tells a poller whether a device answers at all. `waits` counts the waits
// on the network (one per wake-up): a silent device costs about one a slice
// (SM_WAIT_SLICE_MSEC) or a retransmission, never a busy loop.
typedef struct {
  uint32_t answers;
  uint32_t timeouts;
  uint32_t waits;
} sm_exchange_tally;
void sm_tally_reset(void);
void sm_tally_get(sm_exchange_tally *out);

// Sets the bound on the variables one walk may collect (0 restores the
// default). Meant for start-up and tests.
void sm_set_bulk_variable_limit(uint32_t limit);

// ---- Errors and counters ----

void sm_snmp_error_init(snmp_session_error *err);
// Frees the message; the record can be reused. Null is ignored.
void sm_snmp_error_clean(snmp_session_error *err);

// Stores `sess_status`, the library's error numbers and text of the session
// and the response's error status (0 without a response) in the record,
// replacing an earlier text. The text is kept only for a failed call
// (status not 0): after a successful call it would describe an earlier
// failure. Without a record the text is freed.
void sm_set_snmp_session_error(void *snmp_session_fd, long sess_status, netsnmp_pdu *response,
                               snmp_session_error *sess_error);

// Logs the record at level error, prefixed by "func> " when func is given.
void sm_print_error_from_snmp_session_error(const char *func, const snmp_session_error *sess_error);

// Writes one line describing a failure into `buffer`: with a record, the
// library text, else "<status name> from response", else "(<n>)error",
// "(<n>)timeout" or "(<n>)unknown", else the numbers; without a record and a
// negative code, "(func:<text of the code>)". *buffer_len is the buffer size
// on entry and the length written (cut to fit) on return.
// Returns 0, or -1 when `buffer` or `buffer_len` is null or the size is 0.
int sm_get_error_message(int func_ret_code, const snmp_session_error *sess_error, char *buffer,
                         size_t *buffer_len);

// Name of a PDU error status: "no error", "too big", "no such name", "bad
// value", "read only", "generic", else "unknown".
const char *sm_get_snmp_error_stat_to_str(long err);

// Text of a request result code (the table of the SM_ERR_* codes above);
// "error number is wrong" for others.
const char *sm_get_func_error_str(int func_ret_code);

// Copies the eight counters (each read atomically, the set not as one).
// Null is ignored.
void sm_get_perf(snmp_perf *copy);

// Sets the library's output options that the agent's value texts rely on:
// bare values, numeric OIDs and time ticks, two-digit hex, quotes not
// escaped, string format guessed. Process-wide; call before init_snmp.
void sm_set_library_output_options(void);

// Formats one variable's value as text with the Net-SNMP formatter of its
// ASN type (display hint and units go to the integer, octet-string, gauge,
// opaque and uinteger formatters). Exception values and unknown types
// return 0 after a log line. Otherwise the formatter's result: non-zero on
// success, 0 when the value did not fit a buffer that may not grow.
int get_variable_realloc_by_type(u_char **buf, size_t *buf_len, size_t *out_len, int allow_realloc,
                                 const netsnmp_variable_list *var, const struct enum_list *enums,
                                 const char *hint, const char *units);

// Names used in logs and in the one-shot request's output.
const char *sm_auth_algorithm_name(int auth_algorithm);  // "none", "md5", ... "unknown"
const char *sm_priv_algorithm_name(int priv_algorithm);  // "none", "des", ... "unknown"

#endif  // QDR_AGENT_SNMP_MANAGER_H
