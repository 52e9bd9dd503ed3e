// OID packs and the OID manager: the type table, offers and updates, use
// counts with deferred deletion, and shutdown with packs still in use.
#include "collect_oid.h"

#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using oid_list = std::vector<std::pair<std::string, std::string>>;

vlist_item_t *make_pack(uint32_t id, int type, const oid_list &oids) {
  vlist_item_t *item = nullptr;
  oid_pack *pack = om_new_oid_pack_for_list(id, type, &item);
  if (pack == nullptr) return nullptr;
  for (const auto &[name, oid] : oids) oid_info_add_to_list(&pack->list, name.c_str(), oid.c_str());
  return item;
}

oid_list live_oids(oid_pack *pack) {
  oid_list out;
  vlist_item_t *cur = nullptr;
  oid_info *info;
  while ((info = static_cast<oid_info *>(vlist_getting_data(&pack->list, nullptr, &cur))) !=
         nullptr) {
    out.emplace_back(info->name, info->oid);
  }
  return out;
}

class OidManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(oid_manager_init(&m), 0);
    ASSERT_EQ(oid_manager_activate(&m), 0);
  }
  void TearDown() override { oid_manager_clear(&m); }
  oid_manager m{};
};

const oid_list kCpu = {{"device.cpu", ".1.3.6.1.4.1.2021.11.9.0"}};
const oid_list kMem = {{"device.memory", ".1.3.6.1.4.1.2021.4.6.0"},
                       {"device.uptime", ".1.3.6.1.2.1.1.3.0"}};
const oid_list kTemp = {{"device.temperature", ".1.3.6.1.4.1.9.9.13.1.3.1.3"}};

TEST(OidTypeTable, NamesMapToTheirCodes) {
  EXPECT_EQ(obj_id_type_str_to_code("none"), OBJ_ID_PREFIX_CODE_NONE);
  EXPECT_EQ(obj_id_type_str_to_code("device.cpu"), OBJ_ID_PREFIX_CODE_DEV_CPU);
  EXPECT_EQ(obj_id_type_str_to_code("interface.in_octets"), OBJ_ID_PREFIX_CODE_IF_IN_OCTETS);
  EXPECT_EQ(obj_id_type_str_to_code("interface.crc_error_count"),
            OBJ_ID_PREFIX_CODE_IF_CRC_ERROR_COUNT);
  EXPECT_EQ(obj_id_type_str_to_code("etc"), OBJ_ID_PREFIX_CODE_ETC);
  for (int code = 0; code < OBJ_ID_PREFIX_CODE_MAX; code++) {
    EXPECT_EQ(obj_id_type_str_to_code(obj_id_type_code_to_str(code)), code);
  }
  EXPECT_EQ(obj_id_type_str_to_code("Device.CPU"), -1);  // case matters
  EXPECT_EQ(obj_id_type_str_to_code("device.cpu "), -1);
  EXPECT_EQ(obj_id_type_str_to_code(""), -1);
  EXPECT_EQ(obj_id_type_str_to_code(nullptr), -1);
  EXPECT_EQ(obj_id_type_code_to_str(OBJ_ID_PREFIX_CODE_MAX), nullptr);
  EXPECT_EQ(obj_id_type_code_to_str(-1), nullptr);
}

TEST(OidInfo, AddCopiesTheTextsAndCodesTheName) {
  vlist_item_t *item = nullptr;
  oid_pack *pack = om_new_oid_pack_for_list(7, SNMP_REQ_TYPE_BULK, &item);
  ASSERT_NE(pack, nullptr);
  EXPECT_EQ(pack->id, 7u);
  EXPECT_EQ(pack->type, SNMP_REQ_TYPE_BULK);
  EXPECT_EQ(pack->self_item, item);
  std::string name = "interface.speed";
  std::string oid = ".1.3.6.1.2.1.2.2.1.5";
  oid_info *info = oid_info_add_to_list(&pack->list, name.c_str(), oid.c_str());
  ASSERT_NE(info, nullptr);
  name[0] = 'X';
  oid[1] = '9';
  EXPECT_STREQ(info->name, "interface.speed");
  EXPECT_STREQ(info->oid, ".1.3.6.1.2.1.2.2.1.5");
  EXPECT_EQ(info->type_code, OBJ_ID_PREFIX_CODE_IF_SPEED);
  oid_info *unknown = oid_info_add_to_list(&pack->list, "vendor.fan", ".1.3.6.1.4.1.1");
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->type_code, -1);  // still requested; its values are ignored
  oid_info *long_name = oid_info_add_to_list(&pack->list, std::string(300, 'n').c_str(), ".1.3");
  ASSERT_NE(long_name, nullptr);
  EXPECT_EQ(strlen(long_name->name), 127u);
  EXPECT_EQ(oid_info_add_to_list(&pack->list, nullptr, ".1.3"), nullptr);
  EXPECT_EQ(oid_info_add_to_list(nullptr, "etc", ".1.3"), nullptr);
  EXPECT_EQ(pack->list.count, 3u);
  om_print(pack);
  om_free_oid_pack_item(item);
  EXPECT_EQ(om_new_oid_pack_for_list(1, 0, nullptr), nullptr);
}

TEST_F(OidManager, InactiveManagerRefusesAndFreesOffers) {
  oid_manager idle{};
  ASSERT_EQ(oid_manager_init(&idle), 0);
  EXPECT_EQ(om_update_oid_pack_from_item(&idle, make_pack(1, 0, kCpu)), -1);
  EXPECT_EQ(om_count(&idle), 0u);
  EXPECT_EQ(om_get_oid_pack_by_id(&idle, 1), nullptr);
  oid_manager_clear(&idle);
}

TEST_F(OidManager, FirstOfferAddsThePack) {
  EXPECT_EQ(om_update_oid_pack_from_item(&m, make_pack(1, SNMP_REQ_TYPE_GET, kCpu)), -1);
  EXPECT_EQ(om_update_oid_pack_from_item(&m, make_pack(2, SNMP_REQ_TYPE_GET, kMem)), -1);
  EXPECT_EQ(om_count(&m), 2u);
  oid_pack *p = om_get_oid_pack_by_id(&m, 2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->use_count, 1u);
  EXPECT_EQ(live_oids(p), kMem);
  EXPECT_EQ(om_release(&m, p), 0);
  EXPECT_EQ(p->use_count, 0u);
  EXPECT_EQ(om_get_oid_pack_by_id(&m, 3), nullptr);
  EXPECT_EQ(om_release(&m, p), -1);  // not in use any more
  EXPECT_EQ(om_update_oid_pack_from_item(&m, nullptr), -1);
}

TEST_F(OidManager, UpdateOfAnUnusedPackTakesEffectAtOnce) {
  om_update_oid_pack_from_item(&m, make_pack(1, SNMP_REQ_TYPE_GET, kCpu));
  EXPECT_EQ(om_update_oid_pack_from_item(&m, make_pack(1, SNMP_REQ_TYPE_BULK, kMem)), 0);
  EXPECT_EQ(om_count(&m), 1u);
  oid_pack *p = om_get_oid_pack_by_id(&m, 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(live_oids(p), kMem);
  EXPECT_EQ(p->type, SNMP_REQ_TYPE_BULK);
  EXPECT_EQ(p->reserve_list.count, 0u);
  om_release(&m, p);
}

TEST_F(OidManager, UpdateOfAPackInUseWaitsForTheLastRelease) {
  om_update_oid_pack_from_item(&m, make_pack(1, SNMP_REQ_TYPE_GET, kCpu));
  oid_pack *a = om_get_oid_pack_by_id(&m, 1);
  oid_pack *b = om_get_oid_pack_by_id(&m, 1);
  ASSERT_EQ(a, b);
  EXPECT_EQ(om_update_oid_pack_from_item(&m, make_pack(1, SNMP_REQ_TYPE_BULK, kMem)), 0);
  EXPECT_EQ(live_oids(a), kCpu);  // the live OIDs stay while the pack is used
  EXPECT_EQ(a->reserve_list.count, 2u);
  EXPECT_EQ(a->cmd, OM_CMD_UPDATE);
  // A second update before the swap replaces the first one.
  EXPECT_EQ(om_update_oid_pack_from_item(&m, make_pack(1, SNMP_REQ_TYPE_GET, kTemp)), 0);
  EXPECT_EQ(a->reserve_list.count, 1u);
  EXPECT_EQ(om_release(&m, a), 0);
  EXPECT_EQ(live_oids(b), kCpu);
  EXPECT_EQ(om_release(&m, b), 0);
  oid_pack *c = om_get_oid_pack_by_id(&m, 1);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(live_oids(c), kTemp);
  EXPECT_EQ(c->type, SNMP_REQ_TYPE_GET);
  EXPECT_EQ(c->cmd, OM_CMD_NONE);
  om_release(&m, c);
}

TEST_F(OidManager, RemoveFreesAtOnceOrAtTheLastRelease) {
  om_update_oid_pack_from_item(&m, make_pack(1, 0, kCpu));
  om_update_oid_pack_from_item(&m, make_pack(2, 0, kMem));
  EXPECT_EQ(om_remove_oid_pack_by_id(&m, 1), 0);
  EXPECT_EQ(om_count(&m), 1u);
  EXPECT_EQ(om_remove_oid_pack_by_id(&m, 1), -1);

  oid_pack *p = om_get_oid_pack_by_id(&m, 2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(om_remove_oid_pack_by_id(&m, 2), 1);
  EXPECT_EQ(om_count(&m), 1u);
  EXPECT_EQ(om_get_oid_pack_by_id(&m, 2), nullptr);  // not handed out any more
  EXPECT_EQ(live_oids(p), kMem);                     // the holder still reads it
  EXPECT_EQ(om_release(&m, p), 1);
  EXPECT_EQ(om_count(&m), 0u);
}

TEST_F(OidManager, OfferingAgainCancelsAPendingDelete) {
  om_update_oid_pack_from_item(&m, make_pack(4, 0, kCpu));
  oid_pack *p = om_get_oid_pack_by_id(&m, 4);
  ASSERT_EQ(om_remove_oid_pack_by_id(&m, 4), 1);
  EXPECT_EQ(om_update_oid_pack_from_item(&m, make_pack(4, 0, kMem)), 0);
  EXPECT_EQ(om_release(&m, p), 0);
  oid_pack *q = om_get_oid_pack_by_id(&m, 4);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(live_oids(q), kMem);
  om_release(&m, q);
}

TEST_F(OidManager, ShutdownFreesUnusedPacksAndWaitsForHolders) {
  om_update_oid_pack_from_item(&m, make_pack(1, 0, kCpu));
  om_update_oid_pack_from_item(&m, make_pack(2, 0, kMem));
  oid_pack *held = om_get_oid_pack_by_id(&m, 2);
  ASSERT_NE(held, nullptr);
  std::atomic<bool> released{false};
  std::thread holder([&] {
    // Keep the pack through at least one shutdown poll, then give it back.
    while (om_count(&m) != 1) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    om_release(&m, held);
    released = true;
  });
  EXPECT_EQ(oid_manager_shutdown(&m, 5), 0);
  holder.join();
  EXPECT_TRUE(released);
  EXPECT_EQ(om_count(&m), 0u);
  EXPECT_EQ(om_get_oid_pack_by_id(&m, 1), nullptr);  // inactive now
  EXPECT_EQ(om_update_oid_pack_from_item(&m, make_pack(3, 0, kCpu)), -1);
  EXPECT_EQ(om_count(&m), 0u);
  // The next activation accepts packs again.
  oid_manager_activate(&m);
  EXPECT_EQ(om_update_oid_pack_from_item(&m, make_pack(3, 0, kCpu)), -1);
  EXPECT_EQ(om_count(&m), 1u);
}

TEST_F(OidManager, ShutdownReportsPacksStillHeldAtTheLimit) {
  om_update_oid_pack_from_item(&m, make_pack(1, 0, kCpu));
  oid_pack *held = om_get_oid_pack_by_id(&m, 1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(oid_manager_shutdown(&m, 1), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "shutdown oid manager has failed.\n");
  EXPECT_EQ(om_count(&m), 1u);
  EXPECT_EQ(om_release(&m, held), 1);  // the late release still frees it
  EXPECT_EQ(om_count(&m), 0u);
}

TEST_F(OidManager, ConcurrentUsersAndUpdatesKeepPacksWhole) {
  for (uint32_t id = 1; id <= 4; id++) om_update_oid_pack_from_item(&m, make_pack(id, 0, kCpu));
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::vector<std::thread> users;
  for (int t = 0; t < 4; t++) {
    users.emplace_back([&, t] {
      for (int i = 0; i < 1000000 && !stop; i++) {
        oid_pack *p = om_get_oid_pack_by_id(&m, static_cast<uint32_t>(1 + (i + t) % 4));
        if (p == nullptr) continue;
        // A holder reads the live list without the lock.
        oid_list l = live_oids(p);
        EXPECT_TRUE(l == kCpu || l == kMem || l == kTemp);
        reads++;
        om_release(&m, p);
      }
    });
  }
  const oid_list *sets[] = {&kMem, &kTemp, &kCpu};
  // Update until the users have read a good deal, within a bound.
  for (int i = 0; i < 200000 && (i < 3000 || reads.load() < 2000); i++) {
    uint32_t id = static_cast<uint32_t>(1 + i % 4);
    om_update_oid_pack_from_item(&m, make_pack(id, i % 2, *sets[i % 3]));
  }
  stop = true;
  for (std::thread &u : users) u.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(om_count(&m), 4u);
  for (uint32_t id = 1; id <= 4; id++) {
    oid_pack *p = om_get_oid_pack_by_id(&m, id);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->use_count, 1u);
    EXPECT_EQ(p->cmd, OM_CMD_NONE);  // every pending update took effect
    om_release(&m, p);
  }
}

}  // namespace
