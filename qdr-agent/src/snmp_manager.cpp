#include "snmp_manager.h"

#include <errno.h>
#include <net-snmp/library/large_fd_set.h>
#include <net-snmp/library/snmpusm.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "vk_lock.h"
#include "vk_util.h"
#include "vklog.h"

// Exported by the library but missing from its headers: discovers the
// engine id (and time) of a session's peer, then creates the session's USM
// user. 1 on success, 0 on failure (the session's error is set).
extern "C" int snmpv3_engineID_probe(struct session_list *slp, netsnmp_session *in_session);

namespace {

// The counters behind sm_get_perf. Relaxed: each is a tally read for a
// report, and nothing else is ordered by it.
struct perf_counters {
  std::atomic<uint32_t> session_open{0};
  std::atomic<uint32_t> session_open_error{0};
  std::atomic<uint32_t> session_close{0};
  std::atomic<uint32_t> request{0};
  std::atomic<uint32_t> request_error{0};
  std::atomic<uint32_t> response{0};
  std::atomic<uint32_t> response_error{0};
  std::atomic<uint32_t> fail{0};
};
perf_counters g_sm_perf;

void perf_add(std::atomic<uint32_t> &counter) {
  counter.fetch_add(1u, std::memory_order_relaxed);
}

// SNMPv3 keeps process-wide tables in the library: USM users keyed by
// (engine id, user name), holding the localised keys every session of that
// user and engine uses, and engine times. This Net-SNMP build does not lock
// them, and every SNMPv3 message the library encodes or decodes looks its
// user up in the table. Two locks keep the table whole:
//
// g_sm_v3_lock serialises SNMPv3 session opens and closes, the check whether
// the table holds a session's user with its keys, and every change to the
// table. No network exchange happens under it; only a change waits, under
// it, for the exchanges in flight (below).
//
// g_sm_v3_users_lock is shared by everything that reads the table without
// g_sm_v3_lock: SNMPv3 requests and the engine probe of an open, for their
// whole exchange with the device. It is taken exclusively, inside
// g_sm_v3_lock, only to add or replace a user, which therefore waits for the
// exchanges in flight (at most one request time-out); writers are preferred
// so that a steady stream of requests cannot hold a change off for ever.
// Users are added at the first session with a device and replaced only
// after its pass phrases change, so in steady state nobody waits.
vk_lock_t g_sm_v3_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_rwlock_t g_sm_v3_users_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

// Holds g_sm_v3_users_lock shared for one SNMPv3 exchange; does nothing for
// other versions.
struct v3_users_reader {
  bool held;
  explicit v3_users_reader(bool v3) : held(v3) {
    if (held) pthread_rwlock_rdlock(&g_sm_v3_users_lock);
  }
  ~v3_users_reader() {
    if (held) pthread_rwlock_unlock(&g_sm_v3_users_lock);
  }
  v3_users_reader(const v3_users_reader &) = delete;
  v3_users_reader &operator=(const v3_users_reader &) = delete;
};

// The library's text of one SNMPERR_* code, without any "detail". The
// library keeps the detail of its last failure in one process-wide buffer
// and appends it to the next error text it forms, whichever session that
// text is for: a time-out of one device would read "Timeout (The supplied
// password length is too short.)" after another session's key failed. The
// shortest of three readings is the bare text (each reading consumes a
// pending detail); texts are kept once read. Under one lock, as the library
// forms the detailed text in a shared buffer.
std::string api_error_text(int code) {
  static std::mutex lock;
  static std::string texts[-SNMPERR_MAX + 1];  // by -code
  if (code > SNMPERR_GENERR || code < SNMPERR_MAX) return "Unknown Error " + std::to_string(code);
  std::lock_guard<std::mutex> guard(lock);
  std::string &text = texts[-code];
  if (text.empty()) {
    for (int i = 0; i < 3; i++) {
      const char *s = snmp_api_errstring(code);
      std::string reading = s != nullptr ? s : "";
      if (i == 0 || reading.size() < text.size()) text = reading;
    }
  }
  return text;
}

// An error text from a session's own error numbers: the library's text of
// its code and, when it has one, the system error in parentheses. Null
// when the session holds no error (malloc'd otherwise; the caller frees).
char *session_error_text(int snmp_err, int clib) {
  if (snmp_err == SNMPERR_SUCCESS && clib == 0) return nullptr;
  std::string text = snmp_err != SNMPERR_SUCCESS ? api_error_text(snmp_err) : std::string();
  if (clib != 0) {
    char buf[128];
    const char *sys = strerror_r(clib, buf, sizeof(buf));
    if (!text.empty()) text += " ";
    text += std::string("(") + (sys != nullptr ? sys : "Unknown Error") + ")";
  }
  return strdup(text.c_str());
}

bool is_v3_session(void *fd) {
  netsnmp_session *ss = snmp_sess_session(fd);
  return ss != nullptr && ss->version == SNMP_VERSION_3;
}

// synch_response's result for a wait given up on a cancel (beside the
// library's STAT_SUCCESS 0, STAT_ERROR 1, STAT_TIMEOUT 2).
constexpr int SM_STAT_CANCELLED = 3;

// What the calling thread is waiting for: one request of one session at a
// time. Thread-local, so that a late callback (a session closed with a
// request still pending, after a cancelled wait) finds a live record that
// it can see is no longer waiting for it.
struct wait_state {
  bool waiting;
  int reqid;
  int status;
  netsnmp_pdu *response;
};
thread_local wait_state t_wait;
thread_local const std::atomic<bool> *t_cancel = nullptr;
thread_local sm_exchange_tally t_tally;
thread_local bool t_quiet = false;

// The answer of the request the thread waits for; keeps waiting after an
// unauthenticated report, as the library's own synchronous call does.
int wait_callback(int op, netsnmp_session *ss, int reqid, netsnmp_pdu *pdu, void *magic) {
  wait_state *st = static_cast<wait_state *>(magic);
  if (st == nullptr || !st->waiting) return 1;
  // An SNMPv3 report (a wrong digest, an unknown user) may not carry the
  // request's id; the library ends the request on it all the same, so it
  // is the answer to the request this thread waits for.
  if (reqid != st->reqid && (pdu == nullptr || pdu->command != SNMP_MSG_REPORT)) return 1;
  // A retransmission (or a stream connect) is news, not an outcome.
  if (op == NETSNMP_CALLBACK_OP_RESEND || op == NETSNMP_CALLBACK_OP_CONNECT) return 1;
  st->waiting = false;
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) {
    if (pdu->command == SNMP_MSG_REPORT) {
      int report = snmpv3_get_report_type(pdu);
      if (report == SNMPERR_NOT_IN_TIME_WINDOW) st->waiting = true;
      st->status = STAT_ERROR;
      ss->s_snmp_errno = report;
    } else if (pdu->command == SNMP_MSG_RESPONSE) {
      // The answer's variables move to the copy instead of being copied:
      // the library frees the received PDU after this call and reads none
      // of its variables for a response, and a walk of thousands of names
      // would otherwise allocate and copy every one of them twice.
      netsnmp_variable_list *vars = pdu->variables;
      pdu->variables = nullptr;
      st->response = snmp_clone_pdu(pdu);
      if (st->response != nullptr) {
        st->response->variables = vars;
      } else {
        pdu->variables = vars;
      }
      st->status = STAT_SUCCESS;
      ss->s_snmp_errno = SNMPERR_SUCCESS;
    } else {
      st->status = STAT_ERROR;
      ss->s_snmp_errno = SNMPERR_PROTOCOL;
    }
  } else if (op == NETSNMP_CALLBACK_OP_TIMED_OUT) {
    st->status = STAT_TIMEOUT;
    ss->s_snmp_errno = SNMPERR_TIMEOUT;
  } else if (op == NETSNMP_CALLBACK_OP_SEC_ERROR && pdu != nullptr &&
             pdu->command == SNMP_MSG_REPORT) {
    // An unauthenticated report (wrong digest, unknown user): its kind is
    // the failure's text.
    st->status = STAT_ERROR;
    ss->s_snmp_errno = snmpv3_get_report_type(pdu);
  } else {
    st->status = STAT_ERROR;
    if (ss->s_snmp_errno == SNMPERR_SUCCESS) {
      ss->s_snmp_errno = op == NETSNMP_CALLBACK_OP_DISCONNECT ? SNMPERR_ABORT : SNMPERR_GENERR;
    }
  }
  return 1;
}

bool cancel_requested() {
  return t_cancel != nullptr && t_cancel->load(std::memory_order_relaxed);
}

// The library's synchronous exchange, but waiting in slices of at most
// SM_WAIT_SLICE_MSEC so that a cancelled thread gives up within one slice
// instead of sitting out the whole time-out and retries. STAT_SUCCESS,
// STAT_ERROR, STAT_TIMEOUT, or SM_STAT_CANCELLED (the request stays pending
// in the session, which the caller closes; its answer, if any, is ignored).
// Holds the user table shared on SNMPv3 sessions.
int synch_response(void *fd, netsnmp_pdu *pdu, netsnmp_pdu **response) {
  *response = nullptr;
  if (cancel_requested()) {
    snmp_free_pdu(pdu);
    return SM_STAT_CANCELLED;
  }
  v3_users_reader reader(is_v3_session(fd));
  wait_state *st = &t_wait;
  st->waiting = true;
  st->status = STAT_ERROR;
  st->response = nullptr;
  st->reqid = snmp_sess_async_send(fd, pdu, wait_callback, st);
  if (st->reqid == 0) {
    snmp_free_pdu(pdu);
    st->waiting = false;
    return STAT_ERROR;
  }
  // The library ends every request by its time-out and retries; should it
  // drop one without a word, the wait still ends, as a time-out, a little
  // after the whole span.
  netsnmp_session *ss = snmp_sess_session(fd);
  long long span_msec = ss != nullptr && ss->timeout > 0
                            ? static_cast<long long>(ss->timeout) / 1000 * (ss->retries + 1)
                            : 60000;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(span_msec + 5000);
  while (st->waiting) {
    if (std::chrono::steady_clock::now() > give_up) {
      st->waiting = false;
      st->status = STAT_TIMEOUT;
      if (ss != nullptr) ss->s_snmp_errno = SNMPERR_TIMEOUT;
      break;
    }
    if (cancel_requested()) {
      st->waiting = false;
      return SM_STAT_CANCELLED;
    }
    int numfds = 0;
    // 1 on input: the library then sets tv to the next retransmission or
    // time-out; with 0 it only ever lowers the tv it is given, which is 0
    // here, and the loop would spin on select without waiting.
    int block = 1;
    netsnmp_large_fd_set fdset;
    netsnmp_large_fd_set_init(&fdset, FD_SETSIZE);
    NETSNMP_LARGE_FD_ZERO(&fdset);
    struct timeval tv;
    timerclear(&tv);
    snmp_sess_select_info2_flags(fd, &numfds, &fdset, &tv, &block, NETSNMP_SELECT_NOALARMS);
    // block == 1: no retransmission is due, wait for input only.
    if (block == 1 || tv.tv_sec > 0 || tv.tv_usec > SM_WAIT_SLICE_MSEC * 1000L) {
      tv.tv_sec = 0;
      tv.tv_usec = SM_WAIT_SLICE_MSEC * 1000L;
    }
    t_tally.waits++;
    int count = netsnmp_large_fd_set_select(numfds, &fdset, nullptr, nullptr, &tv);
    if (count > 0) {
      snmp_sess_read2(fd, &fdset);
    } else if (count == 0) {
      // Acts only on requests whose time has come (retransmit or time out).
      snmp_sess_timeout(fd);
    } else if (errno != EINTR) {
      st->waiting = false;
      st->status = STAT_ERROR;
    }
    netsnmp_large_fd_set_cleanup(&fdset);
  }
  *response = st->response;
  st->response = nullptr;
  if (st->status == STAT_SUCCESS) t_tally.answers++;
  if (st->status == STAT_TIMEOUT) t_tally.timeouts++;
  return st->status;
}

std::atomic<uint32_t> g_sm_bulk_variable_limit{SM_BULK_DEFAULT_VARIABLE_LIMIT};

bool is_exception_type(u_char type) {
  return type == SNMP_ENDOFMIBVIEW || type == SNMP_NOSUCHOBJECT || type == SNMP_NOSUCHINSTANCE;
}

// Fails a request made on a session that never opened, without sending.
int fail_without_session(snmp_session_error *err) {
  free(err->error_message);
  err->error_message = strdup("snmp session is not open");
  err->sess_status = STAT_ERROR;
  err->sess_clib_error_num = 0;
  err->sess_snmp_error_num = SNMPERR_BAD_SESSION;
  err->response_errstat = 0;
  return SM_ERR_RESPONSE;
}

// Fails a request given up because the thread was asked to stop.
int fail_cancelled(snmp_session_error *err) {
  free(err->error_message);
  err->error_message = strdup("request cancelled: the poller is stopping");
  err->sess_status = STAT_ERROR;
  err->sess_clib_error_num = 0;
  err->sess_snmp_error_num = SNMPERR_ABORT;
  err->response_errstat = 0;
  return SM_ERR_CANCELLED;
}

int response_data_clear(void *data) {
  auto *entry = static_cast<snmp_response_data *>(data);
  if (entry->variables != nullptr) {
    snmp_free_varbind(entry->variables);
    entry->variables = nullptr;
  }
  return 0;
}

netsnmp_variable_list *chain_tail(netsnmp_variable_list *chain) {
  if (chain == nullptr) return nullptr;
  while (chain->next_variable != nullptr) chain = chain->next_variable;
  return chain;
}

bool same_name(const netsnmp_variable_list *var, const oid *name, size_t name_length) {
  return var->name_length == name_length &&
         snmp_oid_compare(var->name, var->name_length, name, name_length) == 0;
}

bool same_oid(const oid *a, size_t a_len, const oid *b, size_t b_len) {
  return a != nullptr && b != nullptr && snmp_oid_compare(a, a_len, b, b_len) == 0;
}

// True when the stored user's localised key is not the one `ku` gives for
// this engine. Only the first bytes are compared: a privacy key may have been
// extended for AES-192/256, which keeps the localised key as its prefix.
bool key_differs(const netsnmp_session *ss, const u_char *ku, size_t ku_len, const u_char *stored,
                 size_t stored_len) {
  u_char kul[USM_AUTH_KU_LEN * 2];
  size_t kul_len = sizeof(kul);
  if (stored == nullptr || stored_len == 0) return true;
  if (generate_kul(ss->securityAuthProto, static_cast<u_int>(ss->securityAuthProtoLen),
                   ss->securityEngineID, ss->securityEngineIDLen, ku, ku_len, kul,
                   &kul_len) != SNMPERR_SUCCESS) {
    return false;  // cannot tell: keep the stored user
  }
  size_t n = kul_len < stored_len ? kul_len : stored_len;
  return memcmp(kul, stored, n) != 0;
}

// Makes sure the library's user table holds the user of this session with
// this session's keys. The library keeps the first user it made for an
// engine and name, and every later session of that name would use its keys
// even when the pass phrase or the security level has changed since; such
// a stale user is replaced. REQUIRES: g_sm_v3_lock; takes
// g_sm_v3_users_lock exclusively for the change.
void v3_refresh_user(netsnmp_session *ss) {
  if (ss->securityEngineIDLen == 0 || ss->securityName == nullptr) return;
  struct usmUser *user =
      usm_get_user(ss->securityEngineID, ss->securityEngineIDLen, ss->securityName);
  bool stale = user == nullptr;
  bool auth = ss->securityAuthProto != nullptr && ss->securityLevel >= SNMP_SEC_LEVEL_AUTHNOPRIV;
  if (!stale && auth) {
    stale = !same_oid(user->authProtocol, user->authProtocolLen, ss->securityAuthProto,
                      ss->securityAuthProtoLen) ||
            key_differs(ss, ss->securityAuthKey, ss->securityAuthKeyLen, user->authKey,
                        user->authKeyLen);
  }
  if (!stale && auth && ss->securityLevel == SNMP_SEC_LEVEL_AUTHPRIV) {
    stale = !same_oid(user->privProtocol, user->privProtocolLen, ss->securityPrivProto,
                      ss->securityPrivProtoLen) ||
            key_differs(ss, ss->securityPrivKey, ss->securityPrivKeyLen, user->privKey,
                        user->privKeyLen);
  }
  if (!stale) return;
  pthread_rwlock_wrlock(&g_sm_v3_users_lock);
  if (user != nullptr) {
    VKLOG(g_vklog, VL_NOTICE, "[sm_snmp_open_by_session] snmpv3 user[%s] changed: keys replaced\n",
          ss->securityName);
    usm_remove_user(user);
    // usm_free_user re-links whatever its next and prev still point at,
    // which would drop the user that took its place from the table.
    user->next = nullptr;
    user->prev = nullptr;
    usm_free_user(user);
  }
  ss->flags &= ~SNMP_FLAGS_USER_CREATED;
  usm_create_user_from_session(ss);
  pthread_rwlock_unlock(&g_sm_v3_users_lock);
}

// Keys made from pass phrases (Ku). Making one hashes a megabyte of the
// repeated pass phrase, which would dominate the cost of every SNMPv3
// session; a device's pass phrases rarely change, so the last few keys are
// kept. Guarded by g_sm_ku_cache_lock.
constexpr int kKuCacheSize = 64;
struct ku_cache_entry {
  int auth_algorithm;  // hash the key was made with; 0: empty slot
  size_t pass_len;
  char pass[SM_SEC_PASSWORD_SIZE];
  size_t ku_len;
  u_char ku[USM_AUTH_KU_LEN];
};
ku_cache_entry g_sm_ku_cache[kKuCacheSize];
int g_sm_ku_cache_next = 0;
vk_lock_t g_sm_ku_cache_lock = PTHREAD_MUTEX_INITIALIZER;

// generate_Ku through the cache. `*ku_len` is the room in `ku` on entry and
// the key length on return. SNMPERR_SUCCESS or the library's error.
int generate_ku_cached(int auth_algorithm, const oid *proto, size_t proto_len, const char *pass,
                       size_t pass_len, u_char *ku, size_t *ku_len) {
  vkLock(&g_sm_ku_cache_lock);
  for (const ku_cache_entry &e : g_sm_ku_cache) {
    if (e.auth_algorithm == auth_algorithm && e.pass_len == pass_len && e.ku_len <= *ku_len &&
        memcmp(e.pass, pass, pass_len) == 0) {
      memcpy(ku, e.ku, e.ku_len);
      *ku_len = e.ku_len;
      vkUnlock(&g_sm_ku_cache_lock);
      return SNMPERR_SUCCESS;
    }
  }
  vkUnlock(&g_sm_ku_cache_lock);
  int ret = generate_Ku(proto, static_cast<u_int>(proto_len),
                        reinterpret_cast<const u_char *>(pass), pass_len, ku, ku_len);
  if (ret != SNMPERR_SUCCESS || *ku_len > USM_AUTH_KU_LEN || pass_len >= SM_SEC_PASSWORD_SIZE) {
    return ret;
  }
  vkLock(&g_sm_ku_cache_lock);
  ku_cache_entry &slot = g_sm_ku_cache[g_sm_ku_cache_next];
  g_sm_ku_cache_next = (g_sm_ku_cache_next + 1) % kKuCacheSize;
  slot.auth_algorithm = auth_algorithm;
  slot.pass_len = pass_len;
  memcpy(slot.pass, pass, pass_len);
  slot.ku_len = *ku_len;
  memcpy(slot.ku, ku, *ku_len);
  vkUnlock(&g_sm_ku_cache_lock);
  return ret;
}

}  // namespace

const char *sm_auth_algorithm_name(int auth_algorithm) {
  static const char *const names[] = {"none", "md5", "sha", "sha224", "sha256", "sha384", "sha512"};
  if (auth_algorithm < 0 || auth_algorithm > SM_AUTH_SHA512) return "unknown";
  return names[auth_algorithm];
}

const char *sm_priv_algorithm_name(int priv_algorithm) {
  static const char *const names[] = {"none", "des", "aes128", "aes192", "aes256"};
  if (priv_algorithm < 0 || priv_algorithm > SM_PRIV_AES256) return "unknown";
  return names[priv_algorithm];
}

int sm_set_snmp_info(snmp_info *info, const char *ip, uint16_t port, int version, long timeout_us,
                     int retries, const char *community) {
  if (info == nullptr || ip == nullptr) return -1;
  if (version < 0 || version > 3) return -2;
  if (strnlen(ip, SM_IP_SIZE) >= SM_IP_SIZE) return -3;
  if (community != nullptr && strnlen(community, SM_COMMUNITY_SIZE) >= SM_COMMUNITY_SIZE) return -4;

  vk_copy_field(info->ip, sizeof(info->ip), ip);
  info->port = port;
  // A bare IPv6 address has colons of its own; the library reads the port
  // after the last one only when the address is bracketed in the udp6 domain.
  if (ip[0] == '[') {
    snprintf(info->peername, sizeof(info->peername), "udp6:%s:%hu", ip, port);
  } else if (strchr(ip, ':') != nullptr) {
    snprintf(info->peername, sizeof(info->peername), "udp6:[%s]:%hu", ip, port);
  } else {
    snprintf(info->peername, sizeof(info->peername), "%s:%hu", ip, port);
  }
  info->version = version;
  if (community != nullptr) vk_copy_field(info->community, sizeof(info->community), community);
  info->timeout = timeout_us > 0 ? timeout_us : -1;
  info->retries = retries > 0 ? retries : -1;
  return 0;
}

int sm_set_snmp_sec_info(snmp_sec_info *security, int level, const char *name, int auth_algorithm,
                         const char *auth_password, int privacy_algorithm,
                         const char *privacy_password) {
  if (security == nullptr) return -1;
  if (auth_algorithm < SM_AUTH_NONE || auth_algorithm > SM_AUTH_SHA512) return -10;
  if (privacy_algorithm < SM_PRIV_NONE || privacy_algorithm > SM_PRIV_AES256) return -11;
  if (name == nullptr) name = "";
  if (auth_password == nullptr) auth_password = "";
  if (privacy_password == nullptr) privacy_password = "";
  if (strnlen(name, SM_SEC_NAME_SIZE) >= SM_SEC_NAME_SIZE) return -12;
  bool needs_auth = level == SM_SEC_LEVEL_AUTHNOPRIV || level == SM_SEC_LEVEL_AUTHPRIV;
  bool needs_priv = level == SM_SEC_LEVEL_AUTHPRIV;
  if (needs_auth && strnlen(auth_password, SM_SEC_PASSWORD_SIZE) >= SM_SEC_PASSWORD_SIZE) {
    return -13;
  }
  if (needs_priv && strnlen(privacy_password, SM_SEC_PASSWORD_SIZE) >= SM_SEC_PASSWORD_SIZE) {
    return -13;
  }

  vk_copy_field(security->name, sizeof(security->name), name);
  security->level = level;
  security->algorithm_bit = 0;
  if (needs_priv) {
    security->priv_algorithm = privacy_algorithm;
    vk_copy_field(security->priv_password, sizeof(security->priv_password), privacy_password);
    security->algorithm_bit |= SM_ALGORITHM_BIT_PRIV;
  }
  if (needs_auth) {
    security->auth_algorithm = auth_algorithm;
    vk_copy_field(security->auth_password, sizeof(security->auth_password), auth_password);
    security->algorithm_bit |= SM_ALGORITHM_BIT_AUTH;
  }
  return 0;
}

int sm_clear_snmp_info(snmp_info *info) {
  if (info == nullptr) {
    VKLOG(g_vklog, VL_INFO, "[sm_clear_snmp_info] snmp info is null\n");
    return -1;
  }
  const char *ver = info->version == SNMP_VERSION_1    ? "v1"
                    : info->version == SNMP_VERSION_2c ? "v2c"
                                                       : "not support";
  VKLOG(g_vklog, VL_DEBUG, "[sm_clear_snmp_info] %s/%s\n", ver, info->community);
  memset(info, 0, sizeof(*info));
  return 0;
}

int sm_set_session_by_info(netsnmp_session *session, snmp_info *info) {
  if (session == nullptr || info == nullptr) return -1;
  snmp_sess_init(session);
  session->version = info->version;
  if (info->timeout > 0) session->timeout = info->timeout;
  if (info->retries > 0) session->retries = info->retries;

  if (info->version == SNMP_VERSION_1 || info->version == SNMP_VERSION_2c) {
    session->peername = info->peername;
    session->community = reinterpret_cast<u_char *>(info->community);
    session->community_len = strnlen(info->community, sizeof(info->community));
    return 0;
  }
  if (info->version != SNMP_VERSION_3) {
    VKLOG(g_vklog, VL_ERROR, "snmp version is not support.(ver:%hu)\n",
          static_cast<unsigned short>(info->version));
    return -10;
  }

  snmp_sec_info *sec = &info->security;
  session->peername = info->peername;
  VKLOG(g_vklog, VL_TRACE, "v3 peer[%s],level[%d],auth[alg:%s],priv[alg:%s],bit[0x%02x]\n",
        info->peername, sec->level, sm_auth_algorithm_name(sec->auth_algorithm),
        sm_priv_algorithm_name(sec->priv_algorithm), sec->algorithm_bit);
  session->securityName = sec->name;
  session->securityNameLen = strnlen(sec->name, sizeof(sec->name));
  session->securityLevel = sec->level;

  if (sec->algorithm_bit & SM_ALGORITHM_BIT_AUTH) {
    // The session points at the library's own protocol OIDs; snmp_sess_open
    // copies them into the opened session.
    oid *proto = nullptr;
    size_t proto_len = 0;
    switch (sec->auth_algorithm) {
      case SM_AUTH_MD5:
        proto = usmHMACMD5AuthProtocol;
        proto_len = OID_LENGTH(usmHMACMD5AuthProtocol);
        break;
      case SM_AUTH_SHA:
        proto = usmHMACSHA1AuthProtocol;
        proto_len = OID_LENGTH(usmHMACSHA1AuthProtocol);
        break;
      case SM_AUTH_SHA224:
        proto = usmHMAC128SHA224AuthProtocol;
        proto_len = OID_LENGTH(usmHMAC128SHA224AuthProtocol);
        break;
      case SM_AUTH_SHA256:
        proto = usmHMAC192SHA256AuthProtocol;
        proto_len = OID_LENGTH(usmHMAC192SHA256AuthProtocol);
        break;
      case SM_AUTH_SHA384:
        proto = usmHMAC256SHA384AuthProtocol;
        proto_len = OID_LENGTH(usmHMAC256SHA384AuthProtocol);
        break;
      case SM_AUTH_SHA512:
        proto = usmHMAC384SHA512AuthProtocol;
        proto_len = OID_LENGTH(usmHMAC384SHA512AuthProtocol);
        break;
      default:
        VKLOG(g_vklog, VL_INFO, "Unknown authentication algorithm[(%d)%s][peer:%s]\n",
              sec->auth_algorithm, sm_auth_algorithm_name(sec->auth_algorithm), info->peername);
        return -2;
    }
    session->securityAuthProto = proto;
    session->securityAuthProtoLen = proto_len;
    session->securityAuthKeyLen = USM_AUTH_KU_LEN;
    size_t pass_len = strnlen(sec->auth_password, sizeof(sec->auth_password));
    if (generate_ku_cached(sec->auth_algorithm, session->securityAuthProto,
                           session->securityAuthProtoLen, sec->auth_password, pass_len,
                           session->securityAuthKey,
                           &session->securityAuthKeyLen) != SNMPERR_SUCCESS) {
      VKLOG(g_vklog, VL_ERROR,
            "Error generating a key(Ku) from the supplied authentication pass phrase.[peer:%s]\n",
            info->peername);
      return -3;
    }
  }

  if (sec->algorithm_bit & SM_ALGORITHM_BIT_PRIV) {
    oid *proto = nullptr;
    size_t proto_len = 0;
    switch (sec->priv_algorithm) {
#ifndef NETSNMP_DISABLE_DES
      case SM_PRIV_DES:
        proto = usmDESPrivProtocol;
        proto_len = OID_LENGTH(usmDESPrivProtocol);
        break;
#endif
      case SM_PRIV_AES128:
        proto = usmAESPrivProtocol;
        proto_len = OID_LENGTH(usmAESPrivProtocol);
        break;
#ifdef NETSNMP_DRAFT_BLUMENTHAL_AES_04
      case SM_PRIV_AES192:
        proto = usmAES192PrivProtocol;
        proto_len = OID_LENGTH(usmAES192PrivProtocol);
        break;
      case SM_PRIV_AES256:
        proto = usmAES256PrivProtocol;
        proto_len = OID_LENGTH(usmAES256PrivProtocol);
        break;
#endif
      default:
        VKLOG(g_vklog, VL_INFO, "Unknown privacy Algorithm\n");
        return -2;
    }
    session->securityPrivProto = proto;
    session->securityPrivProtoLen = proto_len;
    session->securityPrivKeyLen = USM_PRIV_KU_LEN;
    size_t pass_len = strnlen(sec->priv_password, sizeof(sec->priv_password));
    // The privacy key is derived with the authentication hash; without an
    // authentication protocol there is no key.
    if (session->securityAuthProto == nullptr ||
        generate_ku_cached(sec->auth_algorithm, session->securityAuthProto,
                           session->securityAuthProtoLen, sec->priv_password, pass_len,
                           session->securityPrivKey,
                           &session->securityPrivKeyLen) != SNMPERR_SUCCESS) {
      VKLOG(g_vklog, VL_INFO,
            "Error generating a key(Ku) from the supplied privacy pass phrase. \n");
      return -3;
    }
  }
  return 0;
}

void *sm_snmp_open_by_session(netsnmp_session *session, snmp_session_error *sess_error) {
  if (session == nullptr) return nullptr;
  int clib = 0;
  int snmp_err = 0;
  char *text = nullptr;
  void *handle = nullptr;
  if (session->version != SNMP_VERSION_3) {
    handle = snmp_sess_open(session);
    if (handle == nullptr) snmp_error(session, &clib, &snmp_err, nullptr);
  } else {
    // The engine probe is made here rather than lazily by the first
    // request, so that an unreachable SNMPv3 device shows as an open
    // failure, and so that the user table changes only under the lock. The
    // probe itself waits on the network outside the lock (one silent device
    // must not hold up every other SNMPv3 open); the "user created" flag
    // keeps it from adding the user, which is done under the lock after.
    session->flags |= SNMP_FLAGS_USER_CREATED;
    vkLock(&g_sm_v3_lock);
    handle = snmp_sess_open(session);
    vkUnlock(&g_sm_v3_lock);
    session->flags &= ~SNMP_FLAGS_USER_CREATED;
    if (handle == nullptr) {
      snmp_error(session, &clib, &snmp_err, nullptr);
    } else {
      netsnmp_session *ss = snmp_sess_session(handle);
      bool probed = ss->securityEngineIDLen != 0;
      if (!probed) {
        // The probe's messages go through the user table like a request's.
        v3_users_reader reader(true);
        probed = snmpv3_engineID_probe(static_cast<struct session_list *>(handle), ss) != 0;
        if (probed) t_tally.answers++;
      }
      if (!probed) {
        // The library's own text may carry another session's detail; the
        // text is formed from the numbers below.
        snmp_sess_error(handle, &clib, &snmp_err, nullptr);
        if (snmp_err == SNMPERR_TIMEOUT) t_tally.timeouts++;
      }
      vkLock(&g_sm_v3_lock);
      if (probed) {
        v3_refresh_user(ss);
      } else {
        snmp_sess_close(handle);
        handle = nullptr;
      }
      vkUnlock(&g_sm_v3_lock);
    }
  }
  if (handle != nullptr) {
    perf_add(g_sm_perf.session_open);
    return handle;
  }

  perf_add(g_sm_perf.session_open_error);
  text = session_error_text(snmp_err, clib);
  if (sess_error != nullptr) {
    free(sess_error->error_message);
    sess_error->error_message = text;
    sess_error->sess_clib_error_num = clib;
    sess_error->sess_snmp_error_num = snmp_err;
    sess_error->sess_status = snmp_err == SNMPERR_TIMEOUT ? STAT_TIMEOUT : STAT_ERROR;
    sess_error->response_errstat = 0;
  } else {
    free(text);
  }
  VKLOG(g_vklog, t_quiet ? VL_DEBUG : VL_ERROR,
        "open snmp session has failed.[ip:%s,ver:%d](err:%d)\n",
        session->peername != nullptr ? session->peername : "", static_cast<int>(session->version),
        snmp_err);
  return nullptr;
}

void sm_snmp_close(void *sess_fd) {
  if (sess_fd == nullptr) return;
  bool v3 = is_v3_session(sess_fd);
  if (v3) vkLock(&g_sm_v3_lock);
  snmp_sess_close(sess_fd);
  if (v3) vkUnlock(&g_sm_v3_lock);
  perf_add(g_sm_perf.session_close);
}

int sm_clear_session(netsnmp_session *session) {
  if (session == nullptr) {
    VKLOG(g_vklog, VL_INFO, "[sm_clear_session] netsnmp session is null\n");
    return -1;
  }
  session->peername = nullptr;
  session->community = nullptr;
  session->community_len = 0;
  session->securityName = nullptr;
  session->securityNameLen = 0;
  session->securityAuthProto = nullptr;
  session->securityAuthProtoLen = 0;
  session->securityPrivProto = nullptr;
  session->securityPrivProtoLen = 0;
  return 0;
}

int sm_response_list_init(mlist_t *list) {
  if (list == nullptr) return -1;
  mlist_init(list, response_data_clear, nullptr);
  return 0;
}

int sm_response_list_clean(mlist_t *list) {
  if (list == nullptr) return 0;
  mlist_clean(list);
  return 0;
}

int sm_response_list_add(mlist_t *list, const char *name, int type_code, const char *obj_id) {
  if (list == nullptr) return -1;
  mlist_item_t *item = nullptr;
  auto *entry =
      static_cast<snmp_response_data *>(mlist_new_item(sizeof(snmp_response_data), &item));
  if (entry == nullptr) return -1;
  if (name != nullptr) {
    size_t len = strnlen(name, sizeof(entry->name) - 1);
    memcpy(entry->name, name, len);
    entry->name[len] = '\0';
  }
  entry->type_code = type_code;
  // The parser is given the real capacity of obj_id, so an OID of more
  // sub-identifiers than fit is refused instead of written past the array.
  size_t length = SM_OID_MAX;
  if (obj_id == nullptr || obj_id[0] == '\0' ||
      snmp_parse_oid(obj_id, entry->obj_id, &length) == nullptr) {
    entry->is_oid_parser_error = 1;
    entry->obj_id_length = 0;
  } else {
    entry->obj_id_length = length;
  }
  mlist_push_back(list, item);
  return 0;
}

netsnmp_variable_list *sm_find_var_from_list(netsnmp_variable_list *variables, const oid *name,
                                             size_t name_length) {
  for (netsnmp_variable_list *v = variables; v != nullptr; v = v->next_variable) {
    if (same_name(v, name, name_length)) return v;
  }
  return nullptr;
}

void sm_snmp_error_init(snmp_session_error *err) {
  if (err != nullptr) memset(err, 0, sizeof(*err));
}

void sm_snmp_error_clean(snmp_session_error *err) {
  if (err == nullptr) return;
  free(err->error_message);
  err->error_message = nullptr;
}

void sm_set_snmp_session_error(void *snmp_session_fd, long sess_status, netsnmp_pdu *response,
                               snmp_session_error *err_rec) {
  int clib = 0;
  int snmp_err = 0;
  char *text = nullptr;
  if (snmp_session_fd != nullptr) {
    snmp_sess_error(snmp_session_fd, &clib, &snmp_err, nullptr);
    text = session_error_text(snmp_err, clib);
  }
  VKLOG(g_vklog, VL_TRACE, "[errno:%d][snmperrno:%d][errstr:%s]\n", clib, snmp_err,
        text != nullptr ? text : "null");
  if (text != nullptr && (text[0] == '\0' || sess_status == STAT_SUCCESS)) {
    free(text);
    text = nullptr;
  }
  if (err_rec == nullptr) {
    free(text);
    return;
  }
  free(err_rec->error_message);
  err_rec->error_message = text;
  err_rec->sess_status = sess_status;
  err_rec->sess_clib_error_num = clib;
  err_rec->sess_snmp_error_num = snmp_err;
  err_rec->response_errstat = response != nullptr ? response->errstat : 0;
}

void sm_print_error_from_snmp_session_error(const char *func, const snmp_session_error *err_rec) {
  if (err_rec == nullptr) return;
  bool named = func != nullptr && func[0] != '\0';
  VKLOG(g_vklog, t_quiet ? VL_DEBUG : VL_ERROR,
        "%s%ssess status[%ld],error[system:%d,snmp:%d][%s]\n", named ? func : "", named ? "> " : "",
        err_rec->sess_status, err_rec->sess_clib_error_num, err_rec->sess_snmp_error_num,
        err_rec->error_message != nullptr ? err_rec->error_message : "null");
}

const char *sm_get_snmp_error_stat_to_str(long err) {
  switch (err) {
    case SNMP_ERR_NOERROR:
      return "no error";
    case SNMP_ERR_TOOBIG:
      return "too big";
    case SNMP_ERR_NOSUCHNAME:
      return "no such name";
    case SNMP_ERR_BADVALUE:
      return "bad value";
    case SNMP_ERR_READONLY:
      return "read only";
    case SNMP_ERR_GENERR:
      return "generic";
    default:
      return "unknown";
  }
}

const char *sm_get_func_error_str(int func_ret_code) {
  switch (func_ret_code) {
    case SM_ERR_NO_LIST:
      return "response list is empty";
    case SM_ERR_RESPONSE:
      return "response error";
    case SM_ERR_NO_RESPONSE_PDU:
      return "response info error";
    case SM_ERR_RESPONSE_STAT:
      return "response data error";
    case SM_ERR_REQ_TYPE:
      return "unknown request type";
    case SM_ERR_NO_ERROR_RECORD:
      return "session error argument empty";
    case SM_ERR_WALK_LIMIT:
      return "walk variable limit reached";
    case SM_ERR_CANCELLED:
      return "request cancelled";
    default:
      VKLOG(g_vklog, VL_ERROR, "error number is wrong.\n");
      return "error number is wrong";
  }
}

int sm_get_error_message(int func_ret_code, const snmp_session_error *err_rec, char *buffer,
                         size_t *buffer_len) {
  if (buffer == nullptr || buffer_len == nullptr || *buffer_len == 0) return -1;
  size_t size = *buffer_len;
  int n = 0;
  buffer[0] = '\0';
  if (err_rec != nullptr) {
    const snmp_session_error *e = err_rec;
    sm_print_error_from_snmp_session_error("sm_get_error_message", e);
    if (e->error_message != nullptr) {
      n = snprintf(buffer, size, "%s", e->error_message);
    } else if (e->response_errstat != 0) {
      n = snprintf(buffer, size, "%s from response",
                   sm_get_snmp_error_stat_to_str(e->response_errstat));
    } else if (e->sess_status != 0) {
      const char *what = e->sess_status == STAT_ERROR     ? "error"
                         : e->sess_status == STAT_TIMEOUT ? "timeout"
                                                          : "unknown";
      n = snprintf(buffer, size, "(%ld)%s", e->sess_status, what);
    } else {
      n = snprintf(buffer, size, "sess status[%ld],error[system:%d,snmp:%d,res:%ld]",
                   e->sess_status, e->sess_clib_error_num, e->sess_snmp_error_num,
                   e->response_errstat);
    }
  } else if (func_ret_code < 0) {
    n = snprintf(buffer, size, "(func:%s)", sm_get_func_error_str(func_ret_code));
  }
  if (n < 0) n = 0;
  *buffer_len = static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
  return 0;
}

void sm_get_perf(snmp_perf *copy) {
  if (copy == nullptr) return;
  copy->session_open = g_sm_perf.session_open.load(std::memory_order_relaxed);
  copy->session_open_error = g_sm_perf.session_open_error.load(std::memory_order_relaxed);
  copy->session_close = g_sm_perf.session_close.load(std::memory_order_relaxed);
  copy->request = g_sm_perf.request.load(std::memory_order_relaxed);
  copy->request_error = g_sm_perf.request_error.load(std::memory_order_relaxed);
  copy->response = g_sm_perf.response.load(std::memory_order_relaxed);
  copy->response_error = g_sm_perf.response_error.load(std::memory_order_relaxed);
  copy->fail = g_sm_perf.fail.load(std::memory_order_relaxed);
}

void sm_set_library_output_options(void) {
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_QUICK_PRINT, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_NUMERIC_TIMETICKS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_2DIGIT_HEX_OUTPUT, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ESCAPE_QUOTES, 0);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PRINT_BARE_VALUE, 1);
  netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_STRING_OUTPUT_FORMAT,
                     NETSNMP_STRING_OUTPUT_GUESS);
  netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OID_OUTPUT_FORMAT,
                     NETSNMP_OID_OUTPUT_NUMERIC);
}

void sm_set_thread_cancel(const std::atomic<bool> *flag) {
  t_cancel = flag;
}

void sm_set_thread_quiet(bool quiet) {
  t_quiet = quiet;
}

void sm_tally_reset(void) {
  t_tally = sm_exchange_tally{};
}

void sm_tally_get(sm_exchange_tally *out) {
  if (out != nullptr) *out = t_tally;
}

void sm_set_bulk_variable_limit(uint32_t limit) {
  g_sm_bulk_variable_limit.store(limit == 0 ? SM_BULK_DEFAULT_VARIABLE_LIMIT : limit,
                                 std::memory_order_relaxed);
}

int sm_get_request(void *snmp_session_fd, mlist_t *snmp_response_list,
                   snmp_session_error *err_rec) {
  if (snmp_response_list == nullptr) return SM_ERR_NO_LIST;
  if (err_rec == nullptr) return SM_ERR_NO_ERROR_RECORD;
  VKLOG(g_vklog, VL_TRACE, "[sm_get_request] start\n");
  if (snmp_session_fd == nullptr) return fail_without_session(err_rec);

  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
  if (pdu == nullptr) return fail_without_session(err_rec);
  int wanted = 0;
  mlist_item_t *cur = nullptr;
  snmp_response_data *entry;
  while ((entry = static_cast<snmp_response_data *>(
              mlist_getting_data(snmp_response_list, nullptr, &cur))) != nullptr) {
    if (entry->is_oid_parser_error) continue;
    snmp_add_null_var(pdu, entry->obj_id, entry->obj_id_length);
    wanted++;
  }
  if (wanted == 0) {
    // Nothing that parsed: there is nothing to ask the device.
    snmp_free_pdu(pdu);
    VKLOG(g_vklog, VL_TRACE, "[sm_get_request] end\n");
    return 0;
  }

  perf_add(g_sm_perf.request);
  netsnmp_pdu *response = nullptr;
  int status = synch_response(snmp_session_fd, pdu, &response);
  if (status == SM_STAT_CANCELLED) return fail_cancelled(err_rec);
  if (status != STAT_SUCCESS) {
    sm_set_snmp_session_error(snmp_session_fd, status, response, err_rec);
    sm_print_error_from_snmp_session_error("sm_get_request", err_rec);
    perf_add(g_sm_perf.request_error);
    if (response != nullptr) snmp_free_pdu(response);
    return SM_ERR_RESPONSE;
  }
  if (response == nullptr) {
    perf_add(g_sm_perf.fail);
    sm_set_snmp_session_error(snmp_session_fd, STAT_SUCCESS, nullptr, err_rec);
    VKLOG(g_vklog, VL_TRACE, "[sm_get_request] snmp response failed.\n");
    return SM_ERR_NO_RESPONSE_PDU;
  }
  if (response->errstat != SNMP_ERR_NOERROR) {
    perf_add(g_sm_perf.response_error);
    VKLOG(g_vklog, VL_ERROR, "[sm_get_request] snmp error(stat:%d,%s)\n",
          static_cast<int>(response->errstat), sm_get_snmp_error_stat_to_str(response->errstat));
    sm_set_snmp_session_error(snmp_session_fd, STAT_SUCCESS, response, err_rec);
    snmp_free_pdu(response);
    return SM_ERR_RESPONSE_STAT;
  }
  perf_add(g_sm_perf.response);

  // Match the answer to the entries with a cursor on the remaining chain;
  // each matched variable is unlinked from the PDU and given to its entry.
  netsnmp_variable_list *cursor = response->variables;
  cur = nullptr;
  while ((entry = static_cast<snmp_response_data *>(
              mlist_getting_data(snmp_response_list, nullptr, &cur))) != nullptr) {
    if (entry->is_oid_parser_error) {
      VKLOG(g_vklog, VL_TRACE, "[sm_get_request] oid parser error[name:%s]\n", entry->name);
      continue;
    }
    netsnmp_variable_list *match = nullptr;
    if (cursor != nullptr && same_name(cursor, entry->obj_id, entry->obj_id_length)) {
      match = cursor;
    } else {
      match = sm_find_var_from_list(response->variables, entry->obj_id, entry->obj_id_length);
      if (match == nullptr) {
        VKLOG(g_vklog, VL_ERROR, "[sm_get_request] oid not found.[name:%s]\n", entry->name);
        entry->is_snmp_no_res = 1;
        cursor = response->variables;
        continue;
      }
      VKLOG(g_vklog, VL_ERROR, "[sm_get_request] oid order does not match.[name:%s]\n",
            entry->name);
    }
    netsnmp_variable_list **link = &response->variables;
    while (*link != match) link = &(*link)->next_variable;
    *link = match->next_variable;
    cursor = match->next_variable;
    match->next_variable = nullptr;
    if (entry->variables != nullptr) snmp_free_varbind(entry->variables);
    entry->variables = match;
    entry->is_snmp_no_res = 0;
  }
  snmp_free_pdu(response);
  VKLOG(g_vklog, VL_TRACE, "[sm_get_request] end\n");
  return 0;
}

namespace {

// walk_exchange's result for an answer tooBig to a packed request.
constexpr int kWalkTooBig = 2;

// Sends one request of a walk and takes its answer. 0 with *out set; 1 when
// an SNMPv1 device says noSuchName (how it ends a walk; nothing in *out);
// kWalkTooBig, with nothing logged or counted as an error, when `packed`
// and the device answers tooBig; otherwise the walk's failure code, with the
// error record filled and the failure logged.
int walk_exchange(void *snmp_session_fd, netsnmp_pdu *pdu, bool v1, bool packed,
                  snmp_session_error *err_rec, netsnmp_pdu **out) {
  *out = nullptr;
  perf_add(g_sm_perf.request);
  netsnmp_pdu *response = nullptr;
  int status = synch_response(snmp_session_fd, pdu, &response);
  if (status == SM_STAT_CANCELLED) return fail_cancelled(err_rec);
  if (status != STAT_SUCCESS) {
    sm_set_snmp_session_error(snmp_session_fd, status, response, err_rec);
    sm_print_error_from_snmp_session_error("sm_bulk_request", err_rec);
    perf_add(g_sm_perf.request_error);
    if (response != nullptr) snmp_free_pdu(response);
    return SM_ERR_RESPONSE;
  }
  if (response == nullptr) {
    sm_set_snmp_session_error(snmp_session_fd, STAT_SUCCESS, nullptr, err_rec);
    perf_add(g_sm_perf.fail);
    return SM_ERR_NO_RESPONSE_PDU;
  }
  if (response->errstat != SNMP_ERR_NOERROR) {
    if (v1 && response->errstat == SNMP_ERR_NOSUCHNAME) {
      perf_add(g_sm_perf.response);
      snmp_free_pdu(response);
      return 1;
    }
    if (packed && response->errstat == SNMP_ERR_TOOBIG) {
      perf_add(g_sm_perf.response);
      snmp_free_pdu(response);
      return kWalkTooBig;
    }
    perf_add(g_sm_perf.response_error);
    VKLOG(g_vklog, VL_ERROR, "[sm_bulk_vars_request] snmp error(stat:%d,%s)\n",
          static_cast<int>(response->errstat), sm_get_snmp_error_stat_to_str(response->errstat));
    sm_set_snmp_session_error(snmp_session_fd, STAT_SUCCESS, response, err_rec);
    snmp_free_pdu(response);
    return SM_ERR_RESPONSE_STAT;
  }
  perf_add(g_sm_perf.response);
  *out = response;
  return 0;
}

// Whether a walk of the subtree `root` takes `v` after the name `prev`. A
// variable outside the subtree, an exception value (endOfMibView) or a name
// that does not advance ends the walk: a device repeating or reordering
// names would otherwise be asked the same question forever.
bool walk_takes(const snmp_response_data *entry, const netsnmp_variable_list *v, const oid *prev,
                size_t prev_len) {
  if (is_exception_type(v->type) ||
      netsnmp_oid_is_subtree(entry->obj_id, entry->obj_id_length, v->name, v->name_length) != 0) {
    return false;
  }
  if (snmp_oid_compare(v->name, v->name_length, prev, prev_len) <= 0) {
    VKLOG(g_vklog, VL_WARN, "[sm_bulk_request] walk ends: name does not advance.[name:%s]\n",
          entry->name);
    return false;
  }
  return true;
}

int walk_limit_reached(const snmp_response_data *entry, uint32_t collected) {
  VKLOG(g_vklog, VL_ERROR, "[sm_bulk_request] walk stopped at the variable limit.[name:%s,%u]\n",
        entry->name, collected);
  return SM_ERR_WALK_LIMIT;
}

// The subtree walk of sm_bulk_request, from the name `start` on (the root,
// or where a walk of several subtrees left this one) with `collected`
// variables already taken. Without a sink each answer's run of variables is
// detached from the answer and appended to the entry's chain; with one, the
// run is handed to the sink and freed with the answer, so a walk holds one
// answer at a time however long it is.
int bulk_walk(void *snmp_session_fd, int req_max_repetitions, snmp_response_data *entry,
              const oid *start, size_t start_len, uint32_t collected, snmp_session_error *err_rec,
              const sm_var_sink *sink) {
  if (err_rec == nullptr) return SM_ERR_NO_ERROR_RECORD;
  if (entry == nullptr) return SM_ERR_NO_LIST;
  if (entry->is_oid_parser_error) return 0;
  if (snmp_session_fd == nullptr) return fail_without_session(err_rec);

  // SNMPv1 has no GETBULK: walk with GETNEXT, one name a request.
  netsnmp_session *ss = snmp_sess_session(snmp_session_fd);
  bool v1 = ss != nullptr && ss->version == SNMP_VERSION_1;
  long repetitions = req_max_repetitions < 1 ? SM_BULK_DEFAULT_REPETITIONS : req_max_repetitions;
  uint32_t limit = g_sm_bulk_variable_limit.load(std::memory_order_relaxed);

  oid next[MAX_OID_LEN];
  size_t next_len = start_len;
  memcpy(next, start, start_len * sizeof(oid));
  netsnmp_variable_list *tail = sink == nullptr ? chain_tail(entry->variables) : nullptr;

  for (;;) {
    netsnmp_pdu *pdu = snmp_pdu_create(v1 ? SNMP_MSG_GETNEXT : SNMP_MSG_GETBULK);
    if (pdu == nullptr) return fail_without_session(err_rec);
    if (!v1) {
      pdu->non_repeaters = 0;
      pdu->max_repetitions = repetitions;
    }
    snmp_add_null_var(pdu, next, next_len);
    netsnmp_pdu *response = nullptr;
    int ret = walk_exchange(snmp_session_fd, pdu, v1, false, err_rec, &response);
    if (ret == 1) return 0;
    if (ret != 0) return ret;

    // The leading run of variables that the walk takes.
    const oid *prev = next;
    size_t prev_len = next_len;
    bool complete = false;
    netsnmp_variable_list *run_last = nullptr;
    uint32_t taken = 0;
    for (netsnmp_variable_list *v = response->variables; v != nullptr; v = v->next_variable) {
      if (!walk_takes(entry, v, prev, prev_len)) {
        complete = true;
        break;
      }
      prev = v->name;
      prev_len = v->name_length;
      run_last = v;
      taken++;
    }
    if (run_last == nullptr) {
      complete = true;
    } else {
      collected += taken;
      if (!complete) {
        next_len = run_last->name_length;
        memcpy(next, run_last->name, next_len * sizeof(oid));
      }
      if (sink != nullptr) {
        sink->receive(sink->ctx, entry, response->variables, taken);
      } else {
        netsnmp_variable_list *run = response->variables;
        response->variables = run_last->next_variable;
        run_last->next_variable = nullptr;
        if (tail == nullptr) {
          entry->variables = run;
        } else {
          tail->next_variable = run;
        }
        tail = run_last;
      }
    }
    snmp_free_pdu(response);
    if (complete) return 0;
    if (collected >= limit) return walk_limit_reached(entry, collected);
  }
}

// Subtrees walked side by side in one GETBULK at most.
constexpr size_t kPackedColumns = 16;
// Variables a packed request asks for at most (rows x subtrees; at least one
// row). The library holds each received variable in about 1 KB (the name
// has room for the longest OID), so this bounds what one answer costs a
// collect thread: thirteen columns of 80 rows would take over a megabyte.
constexpr long kPackedVariables = 256;

// One subtree of a packed walk.
struct packed_column {
  snmp_response_data *entry;
  oid next[MAX_OID_LEN];  // the last name taken (the root at first)
  size_t next_len;
  netsnmp_variable_list *tail;  // the entry's chain's last variable (no sink)
  uint32_t collected;
  bool done;
};

// Walks up to kPackedColumns subtrees side by side: each GETBULK carries
// the last name of every subtree not yet complete, and its answer holds
// rows of one variable a subtree (the names in request order, row after
// row): `repetitions` rows, fewer when that would pass kPackedVariables.
// A table's columns thus take one request a block of rows instead of one
// each. Each subtree's run of an answer is handed over as bulk_walk does
// (sink or chain), subtree by subtree in list order; each subtree ends by
// bulk_walk's rules. An answer cut short (the device's size limit) before a
// whole row leaves the remaining subtrees to bulk_walk, one at a time from
// where they stand; so does an answer tooBig (a device that will not cut a
// GETBULK's answer to its size, as it should).
int packed_walk(void *snmp_session_fd, long repetitions, packed_column *cols, size_t count,
                snmp_session_error *err_rec, const sm_var_sink *sink) {
  uint32_t limit = g_sm_bulk_variable_limit.load(std::memory_order_relaxed);
  packed_column *active[kPackedColumns];
  std::vector<netsnmp_variable_list *> all;
  for (;;) {
    size_t k = 0;
    for (size_t i = 0; i < count; i++) {
      if (!cols[i].done) active[k++] = &cols[i];
    }
    if (k == 0) return 0;
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GETBULK);
    if (pdu == nullptr) return fail_without_session(err_rec);
    pdu->non_repeaters = 0;
    pdu->max_repetitions =
        std::max(1L, std::min(repetitions, kPackedVariables / static_cast<long>(k)));
    for (size_t j = 0; j < k; j++) snmp_add_null_var(pdu, active[j]->next, active[j]->next_len);
    netsnmp_pdu *response = nullptr;
    int ret = walk_exchange(snmp_session_fd, pdu, false, true, err_rec, &response);
    if (ret != 0 && ret != kWalkTooBig) return ret;

    all.clear();
    if (response != nullptr) {
      for (netsnmp_variable_list *v = response->variables; v != nullptr; v = v->next_variable) {
        all.push_back(v);
      }
      // The answer's variables are relinked into one run a subtree; each is
      // freed here unless a chain keeps it.
      response->variables = nullptr;
      snmp_free_pdu(response);
    }
    bool short_answer = all.size() < k;
    for (size_t j = 0; j < k && !short_answer; j++) {
      packed_column *c = active[j];
      const oid *prev = c->next;
      size_t prev_len = c->next_len;
      netsnmp_variable_list *run = nullptr;
      netsnmp_variable_list *run_last = nullptr;
      uint32_t taken = 0;
      for (size_t i = j; i < all.size(); i += k) {
        netsnmp_variable_list *v = all[i];
        if (!walk_takes(c->entry, v, prev, prev_len)) {
          c->done = true;
          break;
        }
        prev = v->name;
        prev_len = v->name_length;
        if (run_last == nullptr) {
          run = v;
        } else {
          run_last->next_variable = v;
        }
        run_last = v;
        taken++;
      }
      if (run_last == nullptr) {
        c->done = true;
        continue;
      }
      run_last->next_variable = nullptr;
      c->collected += taken;
      if (!c->done) {
        c->next_len = run_last->name_length;
        memcpy(c->next, run_last->name, c->next_len * sizeof(oid));
      }
      if (sink != nullptr) {
        sink->receive(sink->ctx, c->entry, run, taken);
      } else {
        if (c->tail == nullptr) {
          c->entry->variables = run;
        } else {
          c->tail->next_variable = run;
        }
        c->tail = run_last;
        for (size_t i = j; i < all.size() && taken > 0; i += k, taken--) all[i] = nullptr;
      }
    }
    for (netsnmp_variable_list *v : all) {
      if (v != nullptr) snmp_free_var(v);
    }
    if (short_answer) {
      for (size_t j = 0; j < k; j++) {
        packed_column *c = active[j];
        int r = bulk_walk(snmp_session_fd, static_cast<int>(repetitions), c->entry, c->next,
                          c->next_len, c->collected, err_rec, sink);
        if (r != 0) return r;
        c->done = true;
      }
      return 0;
    }
    for (size_t j = 0; j < k; j++) {
      if (!active[j]->done && active[j]->collected >= limit) {
        return walk_limit_reached(active[j]->entry, active[j]->collected);
      }
    }
  }
}

void log_multiple_failure(const snmp_response_data *entry, const snmp_session_error *e) {
  char oid_text[1024];
  snprint_objid(oid_text, sizeof(oid_text), entry->obj_id, entry->obj_id_length);
  VKLOG(g_vklog, t_quiet ? VL_DEBUG : VL_ERROR,
        "[sm_bulk_request_multiple] get bulk data has failed.[oid:%s,errstat:%ld,clib:%d,"
        "snmp:%d,status:%ld]\n",
        oid_text, e != nullptr ? e->response_errstat : 0L,
        e != nullptr ? e->sess_clib_error_num : 0, e != nullptr ? e->sess_snmp_error_num : 0,
        e != nullptr ? e->sess_status : 0L);
}

// The entries' walks in list order: on a GETBULK session, groups of up to
// kPackedColumns entries walked side by side (packed_walk), otherwise one
// entry after the other.
int bulk_multiple(void *snmp_session_fd, int req_max_repetitions, mlist_t *snmp_response_list,
                  snmp_session_error *err_rec, const sm_var_sink *sink) {
  if (snmp_response_list == nullptr) return SM_ERR_NO_LIST;
  netsnmp_session *ss = snmp_session_fd != nullptr ? snmp_sess_session(snmp_session_fd) : nullptr;
  bool pack = err_rec != nullptr && ss != nullptr && ss->version != SNMP_VERSION_1;
  long repetitions = req_max_repetitions < 1 ? SM_BULK_DEFAULT_REPETITIONS : req_max_repetitions;
  std::vector<packed_column> cols;
  mlist_item_t *cur = nullptr;
  snmp_response_data *entry = nullptr;
  bool more = true;
  while (more) {
    // The next group: up to kPackedColumns entries whose OID parsed (one
    // when the walks are not packed).
    cols.clear();
    size_t group = pack ? kPackedColumns : 1;
    while (cols.size() < group) {
      entry =
          static_cast<snmp_response_data *>(mlist_getting_data(snmp_response_list, nullptr, &cur));
      if (entry == nullptr) {
        more = false;
        break;
      }
      if (entry->is_oid_parser_error) continue;
      packed_column c;
      c.entry = entry;
      c.next_len = entry->obj_id_length;
      memcpy(c.next, entry->obj_id, c.next_len * sizeof(oid));
      c.tail = sink == nullptr ? chain_tail(entry->variables) : nullptr;
      c.collected = 0;
      c.done = false;
      cols.push_back(c);
    }
    if (cols.empty()) break;
    int ret;
    if (cols.size() == 1) {
      ret = bulk_walk(snmp_session_fd, req_max_repetitions, cols[0].entry, cols[0].next,
                      cols[0].next_len, 0, err_rec, sink);
    } else {
      ret = packed_walk(snmp_session_fd, repetitions, cols.data(), cols.size(), err_rec, sink);
    }
    if (ret < 0) {
      const snmp_response_data *failed = cols[0].entry;
      for (const packed_column &c : cols) {
        if (!c.done) {
          failed = c.entry;
          break;
        }
      }
      log_multiple_failure(failed, err_rec);
      return ret;
    }
  }
  return 0;
}

// A GET whose answered entries are handed to the sink and then let go.
int get_to_sink(void *snmp_session_fd, mlist_t *snmp_response_list, snmp_session_error *err_rec,
                const sm_var_sink *sink) {
  int ret = sm_get_request(snmp_session_fd, snmp_response_list, err_rec);
  if (ret != 0) return ret;
  mlist_item_t *cur = nullptr;
  snmp_response_data *entry;
  while ((entry = static_cast<snmp_response_data *>(
              mlist_getting_data(snmp_response_list, nullptr, &cur))) != nullptr) {
    if (entry->variables == nullptr) continue;
    sink->receive(sink->ctx, entry, entry->variables, 1);
    snmp_free_varbind(entry->variables);
    entry->variables = nullptr;
  }
  return 0;
}

}  // namespace

int sm_bulk_request(void *snmp_session_fd, int req_max_repetitions, snmp_response_data *entry,
                    snmp_session_error *err_rec) {
  if (entry == nullptr) return err_rec == nullptr ? SM_ERR_NO_ERROR_RECORD : SM_ERR_NO_LIST;
  return bulk_walk(snmp_session_fd, req_max_repetitions, entry, entry->obj_id, entry->obj_id_length,
                   0, err_rec, nullptr);
}

int sm_bulk_request_multiple(void *snmp_session_fd, int req_max_repetitions,
                             mlist_t *snmp_response_list, snmp_session_error *err_rec) {
  return bulk_multiple(snmp_session_fd, req_max_repetitions, snmp_response_list, err_rec, nullptr);
}

int sm_request_multiple(void *snmp_session_fd, int req_max_repetitions, int type,
                        mlist_t *snmp_response_list, snmp_session_error *err_rec) {
  return sm_request_multiple_to(snmp_session_fd, req_max_repetitions, type, snmp_response_list,
                                err_rec, nullptr);
}

int sm_request_multiple_to(void *snmp_session_fd, int req_max_repetitions, int type,
                           mlist_t *snmp_response_list, snmp_session_error *err_rec,
                           const sm_var_sink *sink) {
  if (sink != nullptr && sink->receive == nullptr) sink = nullptr;
  switch (type) {
    case SNMP_REQ_TYPE_GET:
      return sink == nullptr ? sm_get_request(snmp_session_fd, snmp_response_list, err_rec)
                             : get_to_sink(snmp_session_fd, snmp_response_list, err_rec, sink);
    case SNMP_REQ_TYPE_BULK:
      return bulk_multiple(snmp_session_fd, req_max_repetitions, snmp_response_list, err_rec, sink);
    default:
      return SM_ERR_REQ_TYPE;
  }
}

int get_variable_realloc_by_type(u_char **buf, size_t *buf_len, size_t *out_len, int allow_realloc,
                                 const netsnmp_variable_list *var, const struct enum_list *enums,
                                 const char *hint, const char *units) {
  if (buf == nullptr || buf_len == nullptr || out_len == nullptr || var == nullptr) return 0;
  switch (var->type) {
    case ASN_INTEGER:
      return sprint_realloc_integer(buf, buf_len, out_len, allow_realloc, var, enums, hint, units);
    case ASN_BIT_STR:
      return sprint_realloc_bitstring(buf, buf_len, out_len, allow_realloc, var, enums, nullptr,
                                      nullptr);
    case ASN_OCTET_STR:
      return sprint_realloc_octet_string(buf, buf_len, out_len, allow_realloc, var, enums, hint,
                                         units);
    case ASN_NULL:
      return sprint_realloc_null(buf, buf_len, out_len, allow_realloc, var, enums, nullptr,
                                 nullptr);
    case ASN_OBJECT_ID:
      return sprint_realloc_object_identifier(buf, buf_len, out_len, allow_realloc, var, enums,
                                              nullptr, nullptr);
    case ASN_IPADDRESS:
      return sprint_realloc_ipaddress(buf, buf_len, out_len, allow_realloc, var, enums, nullptr,
                                      nullptr);
    case ASN_COUNTER:
      return sprint_realloc_counter(buf, buf_len, out_len, allow_realloc, var, enums, nullptr,
                                    nullptr);
    case ASN_GAUGE:
      return sprint_realloc_gauge(buf, buf_len, out_len, allow_realloc, var, enums, hint, units);
    case ASN_TIMETICKS:
      return sprint_realloc_timeticks(buf, buf_len, out_len, allow_realloc, var, enums, nullptr,
                                      nullptr);
    case ASN_OPAQUE:
      return sprint_realloc_opaque(buf, buf_len, out_len, allow_realloc, var, enums, hint, units);
    case ASN_COUNTER64:
#ifdef NETSNMP_WITH_OPAQUE_SPECIAL_TYPES
    case ASN_OPAQUE_COUNTER64:
    case ASN_OPAQUE_I64:
    case ASN_OPAQUE_U64:
#endif
      return sprint_realloc_counter64(buf, buf_len, out_len, allow_realloc, var, enums, nullptr,
                                      nullptr);
    case ASN_UINTEGER:
      return sprint_realloc_uinteger(buf, buf_len, out_len, allow_realloc, var, enums, hint, units);
#ifdef NETSNMP_WITH_OPAQUE_SPECIAL_TYPES
    case ASN_OPAQUE_FLOAT:
      return sprint_realloc_float(buf, buf_len, out_len, allow_realloc, var, enums, hint, units);
    case ASN_OPAQUE_DOUBLE:
      return sprint_realloc_double(buf, buf_len, out_len, allow_realloc, var, enums, hint, units);
#endif
    default:
      VKLOG(g_vklog, VL_INFO, "get_variable_realloc_by_type() - Variable has bad type.[%u]\n",
            static_cast<unsigned>(var->type));
      return 0;
  }
}
