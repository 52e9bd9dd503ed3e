#include "kstrtok.h"

#include <stdint.h>

#include <atomic>
#include <mutex>

namespace {

// The slot table. `lock` guards claiming and freeing; a claimed slot's
// position is used only by the thread that claimed it. `in_use` is atomic so
// that kstrtok can check its own slot without the lock.
struct kstrtok_state {
  std::mutex lock;
  std::atomic<bool> in_use[KSTRTOK_SLOT_COUNT];
  char *position[KSTRTOK_SLOT_COUNT];
};

kstrtok_state g_kstrtok;

bool valid_slot(int slot) {
  return slot >= 0 && slot < KSTRTOK_SLOT_COUNT &&
         g_kstrtok.in_use[slot].load(std::memory_order_acquire);
}

}  // namespace

int kstrtokbegin(void) {
  std::lock_guard<std::mutex> guard(g_kstrtok.lock);
  for (int i = 0; i < KSTRTOK_SLOT_COUNT; i++) {
    if (!g_kstrtok.in_use[i].load(std::memory_order_relaxed)) {
      g_kstrtok.position[i] = nullptr;
      g_kstrtok.in_use[i].store(true, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

char *kstrtok(int slot, char *text, const char *delimiters) {
  if (!valid_slot(slot) || delimiters == nullptr) return nullptr;
  bool is_delim[256] = {};
  for (const unsigned char *d = reinterpret_cast<const unsigned char *>(delimiters); *d != 0; d++) {
    is_delim[*d] = true;
  }
  char *p = text != nullptr ? text : g_kstrtok.position[slot];
  if (p == nullptr) return nullptr;
  while (*p != '\0' && is_delim[static_cast<unsigned char>(*p)]) p++;
  if (*p == '\0') {
    g_kstrtok.position[slot] = p;
    return nullptr;
  }
  char *token = p;
  while (*p != '\0' && !is_delim[static_cast<unsigned char>(*p)]) p++;
  if (*p != '\0') {
    *p = '\0';
    p++;
  }
  g_kstrtok.position[slot] = p;
  return token;
}

int kstrtokend(int slot) {
  if (slot < 0 || slot >= KSTRTOK_SLOT_COUNT) return -1;
  std::lock_guard<std::mutex> guard(g_kstrtok.lock);
  if (!g_kstrtok.in_use[slot].load(std::memory_order_relaxed)) return -1;
  g_kstrtok.position[slot] = nullptr;
  g_kstrtok.in_use[slot].store(false, std::memory_order_release);
  return 0;
}
