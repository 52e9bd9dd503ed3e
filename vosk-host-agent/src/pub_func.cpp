#include "pub_func.h"

#include <errno.h>
#include <string.h>

#include "configure.h"
#include "pub_conf.h"
#include "vk_thread.h"
#include "vk_util.h"
#include "vklog.h"

int host_wait_tick(uint64_t tick_sec, uint64_t *now_msec) {
  // Bounded: the clock either reaches the tick, or the stop word or a
  // clock set back ends the wait.
  while (true) {
    uint64_t now = vk_get_time_msec();
    if (now_msec != nullptr) *now_msec = now;
    if (g_stop_the_world.load() != 0) return -1;
    if (now / 1000 >= tick_sec) return 0;
    if (tick_sec - now / 1000 >= HOST_CLOCK_BACK_SEC) return 1;
    vk_sleep(HOST_POLL_MSEC);
  }
}

int host_sleep_msec(uint32_t msec) {
  uint32_t slept = 0;
  while (slept < msec) {
    if (g_stop_the_world.load() != 0) return -1;
    uint32_t step = msec - slept < HOST_POLL_MSEC ? msec - slept : HOST_POLL_MSEC;
    vk_sleep(step);
    slept += step;
  }
  return g_stop_the_world.load() != 0 ? -1 : 0;
}

void host_tick_loop(int slot, int conf_index, host_cycle_fn cycle, host_tick_state_t *state) {
  uint64_t next_tick = vk_get_time_msec() / 1000 + 1;
  state->running.store(1);
  while (g_stop_the_world.load() == 0) {
    host_mark(slot, __FILE__, __LINE__);
    uint64_t now = 0;
    if (host_wait_tick(next_tick, &now) < 0) break;
    uint64_t t = now / 1000;
    next_tick = t + 1;
    int interval = get_conf_value_int_for_idx(g_conf_handle, conf_index);
    if (interval >= 1 && t % static_cast<uint64_t>(interval) == 0) {
      host_mark(slot, __FILE__, __LINE__);
      cycle(interval);
    }
    state->last_tick_sec.store(t);
  }
  state->running.store(0);
}

int run_thread(pthread_t *tid, const pthread_attr_t *attr, void *(*fn)(void *), void *arg,
               const char *name) {
  pthread_t local;
  int ret;
  if (attr != nullptr) {
    ret = pthread_create(tid != nullptr ? tid : &local, attr, fn, arg);
  } else {
    ret = create_thread_vk(tid != nullptr ? tid : &local, fn, arg, HOST_THREAD_STACK_SIZE);
  }
  if (ret != 0) {
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00010030] Failed to create thread. thread_name:%s (%d)\n",
          name, ret);
    VKLOG(g_vklog, VL_DEBUG, "[run_thread] create failed. %s (%d:%s)\n", name, ret,
          strerror(ret > 0 ? ret : EAGAIN));
    return ret;
  }
  VKLOG(g_vklog, VL_INFO, "[run_thread] create success. %s (%d)\n", name, ret);
  VKLOG(g_vklog_console_debug, VL_TRACE, "[run_thread] create success. %s (%d)\n", name, ret);
  return 0;
}
