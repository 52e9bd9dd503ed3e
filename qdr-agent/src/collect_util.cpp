#include "collect_util.h"

#include "dg_outbox.h"
#include "vklog.h"

namespace {

// Set while the calling collect thread polls a device known not to answer:
// its failures are logged once by the pool, not by every request.
thread_local bool t_quiet = false;

// Why the calling thread's last request of an event failed; empty when it
// did not. Reported with the event's response time.
thread_local char t_request_failure[COLT_FAILURE_TEXT_SIZE];

}  // namespace

void colt_set_thread_quiet(bool quiet) {
  t_quiet = quiet;
  sm_set_thread_quiet(quiet);
}

void colt_reset_request_failure(void) {
  t_request_failure[0] = '\0';
}

const char *colt_request_failure(void) {
  return t_request_failure;
}

int colt_get_vars_value_to_string(const netsnmp_variable_list *vars, char *value, size_t value_size,
                                  size_t *out_len) {
  if (vars == nullptr || value == nullptr || value_size == 0) return -1;
  u_char *buf = reinterpret_cast<u_char *>(value);
  size_t buf_len = value_size;
  size_t len = 0;
  value[0] = '\0';
  int r = get_variable_realloc_by_type(&buf, &buf_len, &len, 0, vars, nullptr, nullptr, nullptr);
  if (len >= value_size) len = value_size - 1;
  value[len] = '\0';
  if (out_len != nullptr) *out_len = len;
  return r;
}

int colt_request_from_oid_pack(mlist_t *list, int req_max_repetitions, void *session_fd,
                               oid_pack *pack, snmp_session_error *err, const sm_var_sink *sink) {
  if (list == nullptr || pack == nullptr || err == nullptr) return -2;
  for (vlist_item_t *it = pack->list.head; it != nullptr; it = it->next) {
    const oid_info *oi = static_cast<const oid_info *>(it->data);
    VKLOG(g_vklog, VL_DEBUG, "req name[%s],oid[%s],type[%d]\n", oi->name, oi->oid, oi->type_code);
    sm_response_list_add(list, oi->name, oi->type_code, oi->oid);
  }
  sm_snmp_error_clean(err);
  sm_snmp_error_init(err);
  int r = sm_request_multiple_to(session_fd, req_max_repetitions, pack->type, list, err, sink);
  if (r < 0) {
    VKLOG(g_vklog, t_quiet ? VL_DEBUG : VL_ERROR,
          "[colt_if_stat] sm_request_multiple() has failed.\n");
    size_t len = sizeof(t_request_failure);
    if (sm_get_error_message(r, err, t_request_failure, &len) != 0) t_request_failure[0] = '\0';
    return -2;
  }
  return 0;
}

int colt_queue_message(const char *func, uint16_t type, size_t payload, colt_encode_fn encode,
                       const void *msg) {
  mlist_item_t *item = nullptr;
  pkt_data *pd = dg_new_packet(func, type, payload, &item);
  if (pd == nullptr) return -1;
  return dg_queue_encoded(func, item, pd, encode(msg, pd->body, payload),
                          "collect packet encoded.(size:%lu)\n");
}
