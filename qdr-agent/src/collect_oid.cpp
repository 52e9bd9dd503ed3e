#include "collect_oid.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "vk_util.h"
#include "vklog.h"

oid_manager g_oid_manager;

namespace {

constexpr const char *kObjIdTypeNames[OBJ_ID_PREFIX_CODE_MAX] = {
    "none",
    "device.latency",
    "device.cpu",
    "device.memory",
    "device.temperature",
    "device.uptime",
    "interface.index",
    "interface.descriptor",
    "interface.name",
    "interface.type",
    "interface.mtu",
    "interface.speed",
    "interface.ip",
    "interface.subnetmask",
    "interface.phys_addr",
    "interface.admin_status",
    "interface.oper_status",
    "interface.duplex_status",
    "interface.last_change",
    "interface.in_octets",
    "interface.in_ucast_pkts",
    "interface.in_mcast_pkts",
    "interface.in_bcast_pkts",
    "interface.in_nucast_pkts",
    "interface.in_discards",
    "interface.in_errors",
    "interface.in_unknown_protos",
    "interface.out_octets",
    "interface.out_ucast_pkts",
    "interface.out_mcast_pkts",
    "interface.out_bcast_pkts",
    "interface.out_nucast_pkts",
    "interface.out_discards",
    "interface.out_errors",
    "interface.out_qlen",
    "interface.collizn_count",
    "interface.crc_error_count",
    "etc",
};

constexpr int kShutdownStepMs = 500;
constexpr int kShutdownDefaultSec = 5;

int oid_info_clear(void *data) {
  auto *info = static_cast<oid_info *>(data);
  free(info->oid);
  info->oid = nullptr;
  return 0;
}

int oid_pack_clear(void *data) {
  auto *pack = static_cast<oid_pack *>(data);
  vlist_clean(&pack->list);
  vlist_clean(&pack->reserve_list);
  return 0;
}

// REQUIRES: the manager lock.
oid_pack *find_pack(oid_manager *manager, uint32_t id) {
  vlist_item_t *item = nullptr;
  oid_pack *pack;
  while ((pack = static_cast<oid_pack *>(vlist_getting_data(&manager->list, nullptr, &item))) !=
         nullptr) {
    if (pack->id == id) return pack;
  }
  return nullptr;
}

// Replaces the live OIDs by the reserve. REQUIRES: the manager lock and a
// use count of 0.
void apply_update(oid_pack *pack) {
  vlist_clean(&pack->list);
  vlist_move(&pack->list, &pack->reserve_list);
  pack->type = pack->reserve_type;
  pack->cmd = OM_CMD_NONE;
}

// Unlinks and frees a pack. REQUIRES: the manager lock.
void remove_pack(oid_manager *manager, oid_pack *pack) {
  vlist_item_t *item = pack->self_item;
  vlist_pop_item(&manager->list, item);
  vlist_destroy_item(&manager->list, item);
}

}  // namespace

int obj_id_type_str_to_code(const char *str) {
  if (str == nullptr) return -1;
  std::string_view name(str);
  for (int code = 0; code < OBJ_ID_PREFIX_CODE_MAX; code++) {
    if (name == kObjIdTypeNames[code]) return code;
  }
  return -1;
}

const char *obj_id_type_code_to_str(int code) {
  if (code < 0 || code >= OBJ_ID_PREFIX_CODE_MAX) return nullptr;
  return kObjIdTypeNames[code];
}

oid_pack *om_new_oid_pack_for_list(uint32_t id, int type, vlist_item_t **item) {
  if (item == nullptr) return nullptr;
  auto *pack = static_cast<oid_pack *>(vlist_new_item(sizeof(oid_pack), item));
  if (pack == nullptr) return nullptr;
  pack->id = id;
  pack->type = type;
  pack->reserve_type = type;
  vlist_init(&pack->list, oid_info_clear, nullptr);
  vlist_init(&pack->reserve_list, oid_info_clear, nullptr);
  pack->self_item = *item;
  return pack;
}

void om_free_oid_pack_item(vlist_item_t *item) {
  if (item == nullptr) return;
  oid_pack_clear(vlist_get_data_from_item(nullptr, item));
  vlist_destroy_item(nullptr, item);
}

oid_info *oid_info_add_to_list(vlist_t *oid_list, const char *type_name, const char *oid_text) {
  if (oid_list == nullptr || type_name == nullptr || oid_text == nullptr) return nullptr;
  char *oid_copy = strdup(oid_text);
  if (oid_copy == nullptr) return nullptr;
  vlist_item_t *item = nullptr;
  auto *info = static_cast<oid_info *>(vlist_new_item(sizeof(oid_info), &item));
  if (info == nullptr) {
    free(oid_copy);
    return nullptr;
  }
  size_t len = strnlen(type_name, sizeof(info->name) - 1);
  memcpy(info->name, type_name, len);
  info->name[len] = '\0';
  info->oid = oid_copy;
  info->type_code = obj_id_type_str_to_code(type_name);
  vlist_push_back(oid_list, item);
  return info;
}

void om_print(oid_pack *pack) {
  if (pack == nullptr) return;
  VKLOG(g_vklog, VL_INFO, " id:%u ---\n", pack->id);
  vlist_item_t *item = nullptr;
  oid_info *info;
  while ((info = static_cast<oid_info *>(vlist_getting_data(&pack->list, nullptr, &item))) !=
         nullptr) {
    VKLOG(g_vklog, VL_INFO, "name:%s,oid:%s\n", info->name, info->oid);
  }
}

int oid_manager_init(oid_manager *manager) {
  if (manager == nullptr) return -1;
  vklock_init(&manager->lock);
  vlist_init(&manager->list, oid_pack_clear, nullptr);
  manager->activate = 0;
  return 0;
}

int oid_manager_activate(oid_manager *manager) {
  if (manager == nullptr) return -1;
  vkLock(&manager->lock);
  manager->activate = 1;
  vkUnlock(&manager->lock);
  return 0;
}

int om_update_oid_pack_from_item(oid_manager *manager, vlist_item_t *item) {
  if (item == nullptr) return -1;
  if (manager == nullptr) {
    om_free_oid_pack_item(item);
    return -1;
  }
  auto *fresh = static_cast<oid_pack *>(vlist_get_data_from_item(nullptr, item));
  vkLock(&manager->lock);
  if (!manager->activate) {
    vkUnlock(&manager->lock);
    VKLOG(g_vklog, VL_INFO, "oid pack(update from item) is deactiveate.\n");
    om_free_oid_pack_item(item);
    return -1;
  }

  oid_pack *existing = find_pack(manager, fresh->id);
  if (existing == nullptr) {
    vlist_push_back(&manager->list, item);
    vkUnlock(&manager->lock);
    VKLOG(g_vklog, VL_ERROR,
          "[om_update_oid_pack_from_item] oid pack is not found. add oid pack(id:%u)\n", fresh->id);
    return -1;
  }

  // A newer update replaces a reserve that has not taken effect yet, so the
  // pack ends with the collector's latest OIDs rather than a merge.
  vlist_clean(&existing->reserve_list);
  int moved = vlist_move(&existing->reserve_list, &fresh->list);
  int ret = 0;
  if (moved != 0) {
    ret = -2;
  } else {
    existing->reserve_type = fresh->type;
    // The collector sending the pack again also cancels a pending delete.
    if (existing->use_count == 0) {
      apply_update(existing);
    } else {
      existing->cmd = OM_CMD_UPDATE;
    }
  }
  vkUnlock(&manager->lock);
  if (ret != 0) {
    VKLOG(g_vklog, VL_ERROR, "[om_update_oid_pack_from_item] reserve oid list has failed.(%d)\n",
          moved);
  }
  om_free_oid_pack_item(item);
  return ret;
}

oid_pack *om_get_oid_pack_by_id(oid_manager *manager, uint32_t id) {
  if (manager == nullptr) return nullptr;
  vkLock(&manager->lock);
  if (!manager->activate) {
    vkUnlock(&manager->lock);
    VKLOG(g_vklog, VL_INFO, "oid pack(get) is deactiveate.\n");
    return nullptr;
  }
  oid_pack *pack = find_pack(manager, id);
  // A pack waiting for deletion is not handed out again, so a busy pack
  // cannot be kept alive for ever by new users.
  if (pack != nullptr && pack->cmd == OM_CMD_DELETE) pack = nullptr;
  if (pack != nullptr) pack->use_count++;
  vkUnlock(&manager->lock);
  return pack;
}

int om_release(oid_manager *manager, oid_pack *pack) {
  if (manager == nullptr || pack == nullptr) return -1;
  vkLock(&manager->lock);
  if (pack->use_count == 0) {
    vkUnlock(&manager->lock);
    VKLOG(g_vklog, VL_ERROR, "[om_release] oid pack is not in use.(id:%u)\n", pack->id);
    return -1;
  }
  int ret = 0;
  pack->use_count--;
  if (pack->use_count == 0) {
    uint32_t id = pack->id;
    switch (pack->cmd) {
      case OM_CMD_NONE:
        break;
      case OM_CMD_DELETE:
        VKLOG(g_vklog, VL_INFO, "[om_release] delete oid pack[%u]\n", id);
        remove_pack(manager, pack);
        ret = 1;
        break;
      case OM_CMD_UPDATE:
        VKLOG(g_vklog, VL_INFO, "[om_release] update oid pack[%u]\n", id);
        apply_update(pack);
        break;
      default:
        VKLOG(g_vklog, VL_ERROR, "[om_release] oid pack command is wrong.(cmd:%d)\n", pack->cmd);
        break;
    }
  }
  vkUnlock(&manager->lock);
  return ret;
}

int om_remove_oid_pack_by_id(oid_manager *manager, uint32_t id) {
  if (manager == nullptr) return -1;
  vkLock(&manager->lock);
  oid_pack *pack = find_pack(manager, id);
  int ret = -1;
  if (pack != nullptr) {
    if (pack->use_count == 0) {
      remove_pack(manager, pack);
      ret = 0;
    } else {
      pack->cmd = OM_CMD_DELETE;
      ret = 1;
    }
  }
  vkUnlock(&manager->lock);
  return ret;
}

uint32_t om_count(oid_manager *manager) {
  if (manager == nullptr) return 0;
  vkLock(&manager->lock);
  uint32_t count = manager->list.count;
  vkUnlock(&manager->lock);
  return count;
}

int oid_manager_shutdown(oid_manager *manager, int timeout_sec) {
  if (manager == nullptr) return -1;
  vkLock(&manager->lock);
  manager->activate = 0;
  vlist_item_t *item = nullptr;
  oid_pack *pack;
  while ((pack = static_cast<oid_pack *>(vlist_getting_data(&manager->list, nullptr, &item))) !=
         nullptr) {
    if (pack->use_count == 0) {
      vlist_item_t *before = vlist_pop_item(&manager->list, item);
      vlist_destroy_item(&manager->list, item);
      item = before;
    } else {
      pack->cmd = OM_CMD_DELETE;
    }
  }
  vkUnlock(&manager->lock);

  int limit_ms = (timeout_sec > 0 ? timeout_sec : kShutdownDefaultSec) * 1000;
  uint32_t remain = om_count(manager);
  for (int waited = 0; remain > 0 && waited < limit_ms; waited += kShutdownStepMs) {
    vk_sleep(kShutdownStepMs);
    remain = om_count(manager);
  }
  if (remain > 0) {
    VKLOG(g_vklog, VL_INFO, "[oid_manager_shutdown] remain list count[%u]\n", remain);
    fprintf(stderr, "shutdown oid manager has failed.\n");
    return -1;
  }
  VKLOG(g_vklog, VL_INFO, "oid manager shutdown\n");
  return 0;
}

void oid_manager_clear(oid_manager *manager) {
  if (manager == nullptr) return;
  vkLock(&manager->lock);
  vlist_clean(&manager->list);
  manager->activate = 0;
  vkUnlock(&manager->lock);
  vklock_destroy(&manager->lock);
}
