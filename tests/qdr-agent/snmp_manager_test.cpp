// The SNMP session manager against a private snmpd: session set-up, GETs,
// subtree walks compared with the command-line tool, every SNMPv3 security
// setting, and the failure paths (bad input, wrong secrets, silence).
#include "snmp_manager.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "snmp_test_env.h"
#include "snmpd_fixture.h"

namespace {

using snmptest::open_session;
using snmptest::perf_delta;
using snmptest::perf_now;
using snmptest::response_list;

// The library keeps its default output style here, as the tool does.
const auto *const g_env =
    ::testing::AddGlobalTestEnvironment(new snmptest::library_env(/*agent_output=*/false));

constexpr long kShortTimeoutUs = 100000;  // bounded waits for silent peers
constexpr int kShortRetries = 1;

class SnmpManager : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = new vktest::snmpd_instance();
    vktest::snmpd_options o;
    o.sys_name = "manager-test-host";
    std::string error;
    if (!agent_->start(o, &error)) {
      start_error_ = error;
      delete agent_;
      agent_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete agent_;
    agent_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(agent_, nullptr) << start_error_; }

  static uint16_t port() { return static_cast<uint16_t>(agent_->port); }

  static void v2c(snmp_info *info, const char *community = "public") {
    ASSERT_EQ(sm_set_snmp_info(info, "127.0.0.1", port(), SNMP_VERSION_2c, kShortTimeoutUs,
                               kShortRetries, community),
              0);
  }
  static void v3(snmp_info *info, int auth, int priv,
                 const char *auth_pass = vktest::kSnmpdAuthPass,
                 const char *priv_pass = vktest::kSnmpdPrivPass) {
    int level = auth == 0 ? SM_SEC_LEVEL_NOAUTH
                          : (priv == 0 ? SM_SEC_LEVEL_AUTHNOPRIV : SM_SEC_LEVEL_AUTHPRIV);
    ASSERT_EQ(sm_set_snmp_info(info, "127.0.0.1", port(), SNMP_VERSION_3, kShortTimeoutUs,
                               kShortRetries, nullptr),
              0);
    ASSERT_EQ(
        sm_set_snmp_sec_info(&info->security, level, vktest::snmpd_user_name(auth, priv).c_str(),
                             auth, auth_pass, priv, priv_pass),
        0);
  }

  static vktest::snmpd_instance *agent_;
  static std::string start_error_;
};

vktest::snmpd_instance *SnmpManager::agent_ = nullptr;
std::string SnmpManager::start_error_;

std::string error_text(int ret, const snmp_session_error *err) {
  char buf[512];
  size_t len = sizeof(buf);
  sm_get_error_message(ret, err, buf, &len);
  return std::string(buf, len);
}

// ---- Building the session description ----

TEST(SnmpInfo, SetRefusesBadArgumentsAndKeepsTheRecord) {
  snmp_info info{};
  EXPECT_EQ(sm_set_snmp_info(nullptr, "1.2.3.4", 161, 1, 0, 0, "c"), -1);
  EXPECT_EQ(sm_set_snmp_info(&info, nullptr, 161, 1, 0, 0, "c"), -1);
  EXPECT_EQ(sm_set_snmp_info(&info, "1.2.3.4", 161, 4, 0, 0, "c"), -2);
  EXPECT_EQ(sm_set_snmp_info(&info, "1.2.3.4", 161, -1, 0, 0, "c"), -2);
  EXPECT_EQ(sm_set_snmp_info(&info, std::string(60, '1').c_str(), 161, 1, 0, 0, "c"), -3);
  EXPECT_EQ(sm_set_snmp_info(&info, "1.2.3.4", 161, 1, 0, 0, std::string(128, 'c').c_str()), -4);
  EXPECT_EQ(info.ip[0], '\0');
  EXPECT_EQ(info.peername[0], '\0');
}

TEST(SnmpInfo, SetFormsPeerNameAndDefaults) {
  snmp_info info{};
  ASSERT_EQ(sm_set_snmp_info(&info, "10.0.0.1", 1161, 1, 0, -5, "public"), 0);
  EXPECT_STREQ(info.peername, "10.0.0.1:1161");
  EXPECT_EQ(info.timeout, -1);
  EXPECT_EQ(info.retries, -1);
  EXPECT_STREQ(info.community, "public");
  ASSERT_EQ(sm_set_snmp_info(&info, "::1", 161, 1, 250000, 2, nullptr), 0);
  EXPECT_STREQ(info.peername, "udp6:[::1]:161");
  EXPECT_STREQ(info.community, "public");  // kept when not given
  EXPECT_EQ(info.timeout, 250000);
  EXPECT_EQ(info.retries, 2);
  // The longest address that fits still fits the peer name.
  std::string v6;
  while (v6.size() < 57) v6 += "a:";
  v6 += "1";
  ASSERT_EQ(v6.size(), 59u);
  ASSERT_EQ(sm_set_snmp_info(&info, v6.c_str(), 65535, 1, 0, 0, nullptr), 0);
  EXPECT_EQ(std::string(info.peername), "udp6:[" + v6 + "]:65535");
  ASSERT_EQ(sm_set_snmp_info(&info, std::string(59, '9').c_str(), 65535, 1, 0, 0, nullptr), 0);
  EXPECT_EQ(std::string(info.peername), std::string(59, '9') + ":65535");
}

TEST(SnmpSecInfo, LevelsSetTheirAlgorithmsAndBits) {
  snmp_sec_info sec{};
  ASSERT_EQ(sm_set_snmp_sec_info(&sec, 3, "user", 6, "authpass1", 4, "privpass1"), 0);
  EXPECT_EQ(sec.algorithm_bit, SM_ALGORITHM_BIT_AUTH | SM_ALGORITHM_BIT_PRIV);
  EXPECT_EQ(sec.auth_algorithm, 6);
  EXPECT_EQ(sec.priv_algorithm, 4);
  EXPECT_STREQ(sec.priv_password, "privpass1");
  snmp_sec_info auth_only{};
  ASSERT_EQ(sm_set_snmp_sec_info(&auth_only, 2, "user", 2, "authpass1", 1, "privpass1"), 0);
  EXPECT_EQ(auth_only.algorithm_bit, SM_ALGORITHM_BIT_AUTH);
  EXPECT_EQ(auth_only.priv_algorithm, 0);
  EXPECT_EQ(auth_only.priv_password[0], '\0');
  snmp_sec_info none{};
  ASSERT_EQ(sm_set_snmp_sec_info(&none, 1, "user", 2, "authpass1", 1, "privpass1"), 0);
  EXPECT_EQ(none.algorithm_bit, 0);
  EXPECT_STREQ(none.name, "user");
  EXPECT_EQ(none.auth_password[0], '\0');
}

TEST(SnmpSecInfo, RefusesOutOfRangeAlgorithmsAndOverLongTexts) {
  snmp_sec_info sec{};
  EXPECT_EQ(sm_set_snmp_sec_info(nullptr, 1, "u", 0, "", 0, ""), -1);
  EXPECT_EQ(sm_set_snmp_sec_info(&sec, 2, "u", 7, "authpass1", 0, ""), -10);
  EXPECT_EQ(sm_set_snmp_sec_info(&sec, 2, "u", -1, "authpass1", 0, ""), -10);
  EXPECT_EQ(sm_set_snmp_sec_info(&sec, 3, "u", 1, "authpass1", 5, "privpass1"), -11);
  EXPECT_EQ(sm_set_snmp_sec_info(&sec, 1, std::string(256, 'u').c_str(), 0, "", 0, ""), -12);
  EXPECT_EQ(sm_set_snmp_sec_info(&sec, 2, "u", 1, std::string(512, 'p').c_str(), 0, ""), -13);
  EXPECT_EQ(sm_set_snmp_sec_info(&sec, 3, "u", 1, "authpass1", 2, std::string(512, 'p').c_str()),
            -13);
  EXPECT_EQ(sec.name[0], '\0');  // nothing written on failure
  // Exactly the widths minus the terminator are accepted.
  EXPECT_EQ(sm_set_snmp_sec_info(&sec, 3, std::string(255, 'u').c_str(), 1,
                                 std::string(511, 'a').c_str(), 2, std::string(511, 'p').c_str()),
            0);
  EXPECT_EQ(strlen(sec.name), 255u);
  EXPECT_EQ(strlen(sec.priv_password), 511u);
}

TEST(SnmpSession, SetUpChoosesTheProtocolOfEachAlgorithm) {
  snmp_info info{};
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", 161, SNMP_VERSION_3, 0, 0, nullptr), 0);
  ASSERT_EQ(sm_set_snmp_sec_info(&info.security, 2, "u", SM_AUTH_SHA512, "authpass1", 0, ""), 0);
  netsnmp_session s{};
  ASSERT_EQ(sm_set_session_by_info(&s, &info), 0);
  EXPECT_EQ(
      snmp_oid_compare(s.securityAuthProto, s.securityAuthProtoLen, usmHMAC384SHA512AuthProtocol,
                       OID_LENGTH(usmHMAC384SHA512AuthProtocol)),
      0);
  EXPECT_EQ(s.securityLevel, SNMP_SEC_LEVEL_AUTHNOPRIV);
  EXPECT_EQ(s.securityAuthKeyLen, 64u);  // SHA-512 gives a 64-byte Ku
  EXPECT_EQ(s.securityPrivProto, nullptr);
  EXPECT_EQ(std::string(s.peername), "127.0.0.1:161");
  sm_clear_session(&s);
  EXPECT_EQ(s.peername, nullptr);
  EXPECT_EQ(s.securityName, nullptr);

  ASSERT_EQ(sm_set_snmp_sec_info(&info.security, 3, "u", SM_AUTH_MD5, "authpass1", SM_PRIV_AES256,
                                 "privpass1"),
            0);
  ASSERT_EQ(sm_set_session_by_info(&s, &info), 0);
  EXPECT_EQ(snmp_oid_compare(s.securityPrivProto, s.securityPrivProtoLen, usmAES256PrivProtocol,
                             OID_LENGTH(usmAES256PrivProtocol)),
            0);
  EXPECT_EQ(s.securityPrivProtoLen, 9u);
  sm_clear_session(&s);
}

TEST(SnmpSession, KeysDependOnTheAlgorithmAndThePassPhrase) {
  auto key = [](int auth, const char *pass) {
    snmp_info info{};
    sm_set_snmp_info(&info, "127.0.0.1", 161, SNMP_VERSION_3, 0, 0, nullptr);
    sm_set_snmp_sec_info(&info.security, 2, "u", auth, pass, 0, "");
    netsnmp_session s{};
    EXPECT_EQ(sm_set_session_by_info(&s, &info), 0);
    std::string k(reinterpret_cast<char *>(s.securityAuthKey), s.securityAuthKeyLen);
    sm_clear_session(&s);
    return k;
  };
  // Made twice (the second time from the cache of made keys): the same key.
  EXPECT_EQ(key(SM_AUTH_SHA, "pass-phrase-one"), key(SM_AUTH_SHA, "pass-phrase-one"));
  EXPECT_NE(key(SM_AUTH_SHA, "pass-phrase-one"), key(SM_AUTH_SHA, "pass-phrase-two"));
  EXPECT_NE(key(SM_AUTH_SHA, "pass-phrase-one"), key(SM_AUTH_SHA256, "pass-phrase-one"));
  EXPECT_EQ(key(SM_AUTH_MD5, "pass-phrase-one").size(), 16u);
  EXPECT_EQ(key(SM_AUTH_SHA, "pass-phrase-one").size(), 20u);
  EXPECT_EQ(key(SM_AUTH_SHA384, "pass-phrase-one").size(), 48u);
}

TEST(SnmpSession, SetUpFailures) {
  netsnmp_session s{};
  snmp_info info{};
  EXPECT_EQ(sm_set_session_by_info(nullptr, &info), -1);
  EXPECT_EQ(sm_set_session_by_info(&s, nullptr), -1);
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", 161, 2, 0, 0, "c"), 0);
  EXPECT_EQ(sm_set_session_by_info(&s, &info), -10);  // version code 2 is not a version
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", 161, SNMP_VERSION_3, 0, 0, nullptr), 0);
  // Pass phrases shorter than 8 characters produce no key.
  ASSERT_EQ(sm_set_snmp_sec_info(&info.security, 2, "u", SM_AUTH_SHA, "short", 0, ""), 0);
  EXPECT_EQ(sm_set_session_by_info(&s, &info), -3);
  ASSERT_EQ(
      sm_set_snmp_sec_info(&info.security, 3, "u", SM_AUTH_SHA, "authpass1", SM_PRIV_DES, "short"),
      0);
  EXPECT_EQ(sm_set_session_by_info(&s, &info), -3);
  // Authentication wanted with algorithm "none".
  ASSERT_EQ(sm_set_snmp_sec_info(&info.security, 2, "u", SM_AUTH_NONE, "authpass1", 0, ""), 0);
  EXPECT_EQ(sm_set_session_by_info(&s, &info), -2);
  ASSERT_EQ(sm_set_snmp_sec_info(&info.security, 3, "u", SM_AUTH_SHA, "authpass1", SM_PRIV_NONE,
                                 "privpass1"),
            0);
  EXPECT_EQ(sm_set_session_by_info(&s, &info), -2);
  EXPECT_EQ(sm_clear_session(nullptr), -1);
  EXPECT_EQ(sm_clear_snmp_info(nullptr), -1);
  EXPECT_EQ(sm_clear_snmp_info(&info), 0);
  EXPECT_EQ(info.version, 0);
  EXPECT_EQ(info.security.name[0], '\0');
}

// ---- Response lists ----

TEST(SnmpResponseList, ParsesWithTheRealCapacityAndCutsNames) {
  response_list rl;
  std::string long_oid = ".1.3";
  for (int i = 0; i < 126; i++) long_oid += ".1";  // 128 sub-identifiers
  std::string too_long = long_oid + ".1";          // 129
  std::string many;
  for (int i = 0; i < 1000; i++) many += ".1";  // far more than fit
  ASSERT_EQ(sm_response_list_add(&rl.list, std::string(300, 'n').c_str(), 5, long_oid.c_str()), 0);
  ASSERT_EQ(sm_response_list_add(&rl.list, "too-long", 0, too_long.c_str()), 0);
  ASSERT_EQ(sm_response_list_add(&rl.list, "many", 0, many.c_str()), 0);
  ASSERT_EQ(sm_response_list_add(&rl.list, "bad", 0, ".1.3.x.4"), 0);
  ASSERT_EQ(sm_response_list_add(&rl.list, "empty", 0, ""), 0);
  ASSERT_EQ(sm_response_list_add(&rl.list, "null", 0, nullptr), 0);
  EXPECT_EQ(sm_response_list_add(nullptr, "x", 0, ".1.3"), -1);
  ASSERT_EQ(rl.list.count, 6u);
  snmp_response_data *first = rl.at(0);
  EXPECT_EQ(first->is_oid_parser_error, 0);
  EXPECT_EQ(first->obj_id_length, 128u);
  EXPECT_EQ(strlen(first->name), 127u);
  EXPECT_EQ(first->type_code, 5);
  for (size_t i = 1; i < 6; i++) EXPECT_EQ(rl.at(i)->is_oid_parser_error, 1) << i;
}

TEST(SnmpResponseList, FindVarMatchesExactNamesOnly) {
  netsnmp_variable_list *chain = nullptr;
  oid a[] = {1, 3, 6, 1};
  oid b[] = {1, 3, 6, 1, 2};
  snmp_varlist_add_variable(&chain, a, 4, ASN_NULL, nullptr, 0);
  snmp_varlist_add_variable(&chain, b, 5, ASN_NULL, nullptr, 0);
  EXPECT_EQ(sm_find_var_from_list(chain, b, 5), chain->next_variable);
  EXPECT_EQ(sm_find_var_from_list(chain, a, 4), chain);
  EXPECT_EQ(sm_find_var_from_list(chain, b, 3), nullptr);  // a prefix is no match
  EXPECT_EQ(sm_find_var_from_list(nullptr, a, 4), nullptr);
  snmp_free_varbind(chain);
}

// ---- Errors, texts, formatter ----

TEST(SnmpError, MessageFollowsTheFirstRuleThatApplies) {
  snmp_session_error e;
  sm_snmp_error_init(&e);
  e.error_message = strdup("Timeout");
  e.sess_status = STAT_TIMEOUT;
  EXPECT_EQ(error_text(-102, &e), "Timeout");
  sm_snmp_error_clean(&e);
  EXPECT_EQ(e.error_message, nullptr);
  sm_snmp_error_clean(&e);  // twice is harmless
  e.response_errstat = SNMP_ERR_NOSUCHNAME;
  EXPECT_EQ(error_text(-104, &e), "no such name from response");
  e.response_errstat = 0;
  EXPECT_EQ(error_text(-102, &e), "(2)timeout");
  e.sess_status = STAT_ERROR;
  EXPECT_EQ(error_text(-102, &e), "(1)error");
  e.sess_status = 7;
  EXPECT_EQ(error_text(-102, &e), "(7)unknown");
  e.sess_status = 0;
  e.sess_snmp_error_num = -24;
  EXPECT_EQ(error_text(-103, &e), "sess status[0],error[system:0,snmp:-24,res:0]");
  EXPECT_EQ(error_text(-101, nullptr), "(func:response list is empty)");
  EXPECT_EQ(error_text(-106, nullptr), "(func:session error argument empty)");
  EXPECT_EQ(error_text(-999, nullptr), "(func:error number is wrong)");
  EXPECT_EQ(error_text(0, nullptr), "");
}

TEST(SnmpError, MessageIsCutToTheBufferAndNullsAreRefused) {
  snmp_session_error e;
  sm_snmp_error_init(&e);
  e.error_message = strdup("a rather long library error text");
  char buf[8];
  size_t len = sizeof(buf);
  EXPECT_EQ(sm_get_error_message(-102, &e, buf, &len), 0);
  EXPECT_EQ(len, 7u);
  EXPECT_STREQ(buf, "a rathe");
  EXPECT_EQ(sm_get_error_message(-102, &e, nullptr, &len), -1);
  EXPECT_EQ(sm_get_error_message(-102, &e, buf, nullptr), -1);
  len = 0;
  EXPECT_EQ(sm_get_error_message(-102, &e, buf, &len), -1);
  sm_snmp_error_clean(&e);
  EXPECT_STREQ(sm_get_snmp_error_stat_to_str(5), "generic");
  EXPECT_STREQ(sm_get_snmp_error_stat_to_str(6), "unknown");
}

TEST(SnmpFormatter, FormatsEachTypeAndRefusesExceptions) {
  netsnmp_variable_list *chain = nullptr;
  oid name[] = {1, 3, 6, 1, 4, 1, 99999, 7};
  long i = -42;
  u_long u = 4000000000UL;
  const char text[] = "text value";
  oid oid_value[] = {1, 3, 6, 1, 4, 1, 8072};
  u_char ip[] = {10, 1, 2, 3};
  counter64 c64{1, 5};  // 2^32 + 5
  float f = 1.5f;
  snmp_varlist_add_variable(&chain, name, 8, ASN_INTEGER, &i, sizeof(i));
  snmp_varlist_add_variable(&chain, name, 8, ASN_OCTET_STR, text, strlen(text));
  snmp_varlist_add_variable(&chain, name, 8, ASN_OBJECT_ID, oid_value, sizeof(oid_value));
  snmp_varlist_add_variable(&chain, name, 8, ASN_IPADDRESS, ip, sizeof(ip));
  snmp_varlist_add_variable(&chain, name, 8, ASN_COUNTER, &u, sizeof(u));
  snmp_varlist_add_variable(&chain, name, 8, ASN_GAUGE, &u, sizeof(u));
  snmp_varlist_add_variable(&chain, name, 8, ASN_TIMETICKS, &u, sizeof(u));
  snmp_varlist_add_variable(&chain, name, 8, ASN_COUNTER64, &c64, sizeof(c64));
  snmp_varlist_add_variable(&chain, name, 8, ASN_OPAQUE_FLOAT, &f, sizeof(f));
  snmp_varlist_add_variable(&chain, name, 8, SNMP_ENDOFMIBVIEW, nullptr, 0);
  snmp_varlist_add_variable(&chain, name, 8, SNMP_NOSUCHOBJECT, nullptr, 0);
  std::vector<std::string> got;
  for (netsnmp_variable_list *v = chain; v != nullptr; v = v->next_variable) {
    got.push_back(snmptest::value_text(v));
  }
  ASSERT_EQ(got.size(), 11u);
  EXPECT_NE(got[0].find("-42"), std::string::npos) << got[0];
  EXPECT_NE(got[1].find("text value"), std::string::npos) << got[1];
  EXPECT_NE(got[2].find(".1.3.6.1.4.1.8072"), std::string::npos) << got[2];
  EXPECT_NE(got[3].find("10.1.2.3"), std::string::npos) << got[3];
  EXPECT_NE(got[4].find("4000000000"), std::string::npos) << got[4];
  EXPECT_NE(got[5].find("4000000000"), std::string::npos) << got[5];
  EXPECT_NE(got[6].find("4000000000"), std::string::npos) << got[6];
  EXPECT_NE(got[7].find("4294967301"), std::string::npos) << got[7];
  EXPECT_NE(got[8].find("1.5"), std::string::npos) << got[8];
  EXPECT_EQ(got[9], "");   // endOfMibView: not a value
  EXPECT_EQ(got[10], "");  // noSuchObject: not a value

  // A buffer that may not grow: the formatter reports the value did not fit.
  u_char small_buf[4];
  u_char *p = small_buf;
  size_t size = sizeof(small_buf);
  size_t out = 0;
  EXPECT_EQ(get_variable_realloc_by_type(&p, &size, &out, 0, chain->next_variable, nullptr, nullptr,
                                         nullptr),
            0);
  EXPECT_EQ(p, small_buf);
  EXPECT_EQ(get_variable_realloc_by_type(&p, &size, &out, 0, nullptr, nullptr, nullptr, nullptr),
            0);
  snmp_free_varbind(chain);
}

TEST(SnmpRequest, ArgumentChecksAndAClosedSessionFailWithoutSending) {
  response_list rl;
  ASSERT_EQ(sm_response_list_add(&rl.list, "x", 0, ".1.3.6.1.2.1.1.5.0"), 0);
  snmp_session_error e;
  sm_snmp_error_init(&e);
  snmp_perf before = perf_now();
  EXPECT_EQ(sm_get_request(nullptr, nullptr, &e), SM_ERR_NO_LIST);
  EXPECT_EQ(sm_get_request(nullptr, &rl.list, nullptr), SM_ERR_NO_ERROR_RECORD);
  EXPECT_EQ(sm_bulk_request(nullptr, 0, rl.at(0), nullptr), SM_ERR_NO_ERROR_RECORD);
  EXPECT_EQ(sm_bulk_request_multiple(nullptr, 0, nullptr, &e), SM_ERR_NO_LIST);
  EXPECT_EQ(sm_request_multiple(nullptr, 0, SNMP_REQ_TYPE_SUBTREE, &rl.list, &e), SM_ERR_REQ_TYPE);
  EXPECT_EQ(sm_request_multiple(nullptr, 0, 9, &rl.list, &e), SM_ERR_REQ_TYPE);
  // A session that never opened: each request fails cleanly.
  EXPECT_EQ(sm_request_multiple(nullptr, 0, SNMP_REQ_TYPE_GET, &rl.list, &e), SM_ERR_RESPONSE);
  EXPECT_EQ(error_text(SM_ERR_RESPONSE, &e), "snmp session is not open");
  EXPECT_EQ(sm_request_multiple(nullptr, 0, SNMP_REQ_TYPE_BULK, &rl.list, &e), SM_ERR_RESPONSE);
  EXPECT_EQ(rl.at(0)->variables, nullptr);
  snmp_perf d = perf_delta(before);
  EXPECT_EQ(d.request, 0u);
  EXPECT_EQ(d.request_error, 0u);
  sm_snmp_close(nullptr);
  EXPECT_EQ(perf_delta(before).session_close, 0u);
  sm_snmp_error_clean(&e);
}

// ---- Against the private snmpd ----

TEST_F(SnmpManager, GetFillsEachEntryAndCountsOneRequest) {
  open_session s;
  v2c(&s.info);
  snmp_perf before = perf_now();
  ASSERT_TRUE(s.open());
  response_list rl;
  sm_response_list_add(&rl.list, "system.name", 8, ".1.3.6.1.2.1.1.5.0");
  sm_response_list_add(&rl.list, "broken", 0, "not an oid");
  sm_response_list_add(&rl.list, "system.uptime", 5, "1.3.6.1.2.1.1.3.0");
  sm_response_list_add(&rl.list, "absent", 0, ".1.3.6.1.2.1.1.99.0");
  ASSERT_EQ(sm_get_request(s.fd, &rl.list, &s.err), 0);
  ASSERT_NE(rl.at(0)->variables, nullptr);
  EXPECT_EQ(snmptest::chain_length(rl.at(0)->variables), 1u);
  EXPECT_NE(snmptest::value_text(rl.at(0)->variables).find("manager-test-host"), std::string::npos);
  EXPECT_EQ(rl.at(1)->variables, nullptr);
  ASSERT_NE(rl.at(2)->variables, nullptr);
  EXPECT_EQ(rl.at(2)->variables->type, ASN_TIMETICKS);
  // SNMPv2c answers an absent object with an exception value.
  ASSERT_NE(rl.at(3)->variables, nullptr);
  EXPECT_EQ(rl.at(3)->variables->type, SNMP_NOSUCHOBJECT);
  s.close();
  snmp_perf d = perf_delta(before);
  EXPECT_EQ(d.session_open, 1u);
  EXPECT_EQ(d.request, 1u);
  EXPECT_EQ(d.response, 1u);
  EXPECT_EQ(d.session_close, 1u);
  EXPECT_EQ(d.request_error + d.response_error + d.fail + d.session_open_error, 0u);
}

TEST_F(SnmpManager, GetOnV1ReportsTheErrorStatusAndGivesNoValues) {
  open_session s;
  ASSERT_EQ(sm_set_snmp_info(&s.info, "127.0.0.1", port(), SNMP_VERSION_1, kShortTimeoutUs,
                             kShortRetries, "public"),
            0);
  ASSERT_TRUE(s.open());
  response_list rl;
  sm_response_list_add(&rl.list, "system.name", 0, ".1.3.6.1.2.1.1.5.0");
  sm_response_list_add(&rl.list, "absent", 0, ".1.3.6.1.2.1.1.99.0");
  snmp_perf before = perf_now();
  EXPECT_EQ(sm_get_request(s.fd, &rl.list, &s.err), SM_ERR_RESPONSE_STAT);
  EXPECT_EQ(s.err.response_errstat, SNMP_ERR_NOSUCHNAME);
  EXPECT_EQ(error_text(SM_ERR_RESPONSE_STAT, &s.err), "no such name from response");
  EXPECT_EQ(rl.at(0)->variables, nullptr);
  EXPECT_EQ(perf_delta(before).response_error, 1u);
}

// Parses the tool's "-On" output into name -> value text (values may span
// lines).
std::map<std::string, std::string> parse_tool_walk(const std::string &out,
                                                   std::vector<std::string> *order) {
  std::map<std::string, std::string> m;
  std::istringstream in(out);
  std::string line;
  std::string current;
  while (std::getline(in, line)) {
    size_t eq = line.find(" = ");
    if (!line.empty() && line[0] == '.' && eq != std::string::npos &&
        line.find_first_not_of(".0123456789") == eq) {
      current = line.substr(0, eq);
      order->push_back(current);
      m[current] = line.substr(eq + 3);
    } else if (!current.empty()) {
      m[current] += "\n" + line;
    }
  }
  return m;
}

// Subtrees whose values change between two walks a moment apart: uptimes,
// the agent's own SNMP counters and the host's clock.
bool volatile_value(const std::string &name) {
  for (const char *prefix :
       {".1.3.6.1.2.1.1.3.", ".1.3.6.1.2.1.11.", ".1.3.6.1.2.1.25.1.1.", ".1.3.6.1.2.1.25.1.2."}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Tables of the host whose rows come and go while other programs run: TCP
// and UDP endpoints, neighbour caches, processes and their use, storage and
// processor load. On a busy machine two walks a moment apart list different
// rows there, so only the names outside them must match one for one.
bool live_table(const std::string &name) {
  for (const char *prefix :
       {".1.3.6.1.2.1.6.13.", ".1.3.6.1.2.1.6.19.", ".1.3.6.1.2.1.6.20.", ".1.3.6.1.2.1.7.5.",
        ".1.3.6.1.2.1.7.7.", ".1.3.6.1.2.1.4.22.", ".1.3.6.1.2.1.4.35.", ".1.3.6.1.2.1.25.2.",
        ".1.3.6.1.2.1.25.3.3.", ".1.3.6.1.2.1.25.4.", ".1.3.6.1.2.1.25.5."}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// True when two renderings of one object agree: the same text, or, for a
// counter or gauge (which moves with the host's traffic), the same type and
// a well-formed number on both sides.
bool same_rendering(const std::string &ours, const std::string &theirs) {
  if (ours == theirs) return true;
  for (const char *type : {"Counter32: ", "Counter64: ", "Gauge32: "}) {
    size_t n = strlen(type);
    if (ours.rfind(type, 0) != 0 || theirs.rfind(type, 0) != 0) continue;
    auto digits = [n](const std::string &v) {
      return v.size() > n && v.find_first_not_of("0123456789", n) == std::string::npos;
    };
    return digits(ours) && digits(theirs);
  }
  return false;
}

std::vector<std::string> stable_names(const std::vector<std::string> &names) {
  std::vector<std::string> out;
  for (const std::string &n : names) {
    if (!live_table(n)) out.push_back(n);
  }
  return out;
}

// The formatted value of our walk, in the tool's "TYPE: value" form: both
// use the same library formatters with the default output settings.
std::string trim_right(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// What a sink receives: each variable's name and value text, and the
// entry it came for.
struct sink_record {
  std::vector<std::string> names;
  std::map<std::string, std::string> values;
  std::vector<std::string> entries;
  static void receive(void *ctx, const snmp_response_data *entry, const netsnmp_variable_list *v,
                      size_t count) {
    sink_record *r = static_cast<sink_record *>(ctx);
    for (size_t i = 0; i < count; i++, v = v->next_variable) {
      r->names.push_back(snmptest::name_text(v));
      r->values[r->names.back()] = snmptest::value_text(v);
      r->entries.push_back(entry->name);
    }
  }
};

// Walks mib-2 into the entry's chain or, with `sink`, through a sink; the
// names in order and their value texts.
int walk_mib2(void *fd, snmp_session_error *err, bool sink, std::vector<std::string> *names,
              std::map<std::string, std::string> *values) {
  response_list rl;
  sm_response_list_add(&rl.list, "mib-2", 0, ".1.3.6.1.2.1");
  sink_record rec;
  sm_var_sink to = {sink_record::receive, &rec};
  int ret = sm_request_multiple_to(fd, 0, SNMP_REQ_TYPE_BULK, &rl.list, err, sink ? &to : nullptr);
  for (netsnmp_variable_list *v = rl.at(0)->variables; v != nullptr; v = v->next_variable) {
    rec.names.push_back(snmptest::name_text(v));
    rec.values[rec.names.back()] = snmptest::value_text(v);
  }
  *names = rec.names;
  *values = rec.values;
  return ret;
}

TEST_F(SnmpManager, WalkOfWholeMib2MatchesTheCommandLineTool) {
  // Both ways of taking the answers, the entry's chain and a sink, against
  // the tool: the same names in the same order outside the host's live
  // tables, and the same rendering of every value both walks hold (counters
  // may move). Anything else that changed between the walks is compared
  // again, a bounded number of times.
  for (bool sink : {false, true}) {
    SCOPED_TRACE(sink ? "sink" : "chain");
    std::string last_diff;
    for (int attempt = 0; attempt < 3; attempt++) {
      open_session s;
      v2c(&s.info);
      s.info.timeout = 2000000;
      ASSERT_TRUE(s.open());
      std::vector<std::string> ours;
      std::map<std::string, std::string> our_values;
      ASSERT_EQ(walk_mib2(s.fd, &s.err, sink, &ours, &our_values), 0) << error_text(-102, &s.err);
      s.close();

      vktest::run_result r =
          vktest::run_program({"/usr/bin/snmpbulkwalk", "-v2c", "-c", "public", "-Cr80", "-On",
                               "-t", "2", "-r", "1", agent_->address, ".1.3.6.1.2.1"},
                              agent_->tool_env(), "", 60000);
      ASSERT_EQ(r.status, 0) << r.err;
      std::vector<std::string> theirs;
      std::map<std::string, std::string> their_values = parse_tool_walk(r.out, &theirs);

      ASSERT_GT(ours.size(), 1000u) << "the walk should cover thousands of objects";
      last_diff.clear();
      std::vector<std::string> ours_stable = stable_names(ours);
      std::vector<std::string> theirs_stable = stable_names(theirs);
      if (ours_stable != theirs_stable) {
        auto at = std::mismatch(ours_stable.begin(), ours_stable.end(), theirs_stable.begin(),
                                theirs_stable.end());
        last_diff = "names differ: ours " + std::to_string(ours_stable.size()) + ", tool " +
                    std::to_string(theirs_stable.size()) + ", first at " +
                    (at.first != ours_stable.end() ? *at.first : "end") + " / " +
                    (at.second != theirs_stable.end() ? *at.second : "end");
        continue;
      }
      for (const std::string &name : ours) {
        if (volatile_value(name) || their_values.count(name) == 0) continue;
        if (!same_rendering(trim_right(our_values[name]), trim_right(their_values[name]))) {
          last_diff = name + ": ours [" + our_values[name] + "] tool [" + their_values[name] + "]";
          break;
        }
      }
      if (last_diff.empty()) break;
    }
    EXPECT_EQ(last_diff, "");
  }
}

TEST_F(SnmpManager, SinkGetsWhatTheEntriesWouldWithTheSameLimitAndCodes) {
  open_session s;
  v2c(&s.info);
  ASSERT_TRUE(s.open());
  // A walk cut at the variable limit: the same code after the same answers.
  sm_set_bulk_variable_limit(100);
  std::vector<std::string> chain_names, sink_names;
  std::map<std::string, std::string> values;
  EXPECT_EQ(walk_mib2(s.fd, &s.err, false, &chain_names, &values), SM_ERR_WALK_LIMIT);
  EXPECT_EQ(walk_mib2(s.fd, &s.err, true, &sink_names, &values), SM_ERR_WALK_LIMIT);
  sm_set_bulk_variable_limit(0);
  EXPECT_EQ(chain_names.size(), 160u);  // two answers of 80
  EXPECT_EQ(sink_names, chain_names);

  // A GET: each answered entry once, in list order, exception values
  // included; the entries themselves keep no variables.
  response_list rl;
  sm_response_list_add(&rl.list, "system.name", 0, ".1.3.6.1.2.1.1.5.0");
  sm_response_list_add(&rl.list, "broken", 0, "not an oid");
  sm_response_list_add(&rl.list, "absent", 0, ".1.3.6.1.2.1.1.99.0");
  sink_record rec;
  sm_var_sink to = {sink_record::receive, &rec};
  ASSERT_EQ(sm_request_multiple_to(s.fd, 0, SNMP_REQ_TYPE_GET, &rl.list, &s.err, &to), 0);
  EXPECT_EQ(rec.entries, (std::vector<std::string>{"system.name", "absent"}));
  EXPECT_EQ(rec.names, (std::vector<std::string>{".1.3.6.1.2.1.1.5.0", ".1.3.6.1.2.1.1.99.0"}));
  EXPECT_NE(rec.values[".1.3.6.1.2.1.1.5.0"].find("manager-test-host"), std::string::npos);
  EXPECT_EQ(rl.at(0)->variables, nullptr);
}

TEST_F(SnmpManager, WalkOnV1UsesGetNextAndMatchesV2c) {
  auto walk = [&](int version, std::vector<std::string> *names) {
    open_session s;
    ASSERT_EQ(sm_set_snmp_info(&s.info, "127.0.0.1", port(), version, kShortTimeoutUs * 5,
                               kShortRetries, "public"),
              0);
    ASSERT_TRUE(s.open());
    response_list rl;
    sm_response_list_add(&rl.list, "system", 0, ".1.3.6.1.2.1.1");
    ASSERT_EQ(sm_bulk_request_multiple(s.fd, 0, &rl.list, &s.err), 0);
    for (netsnmp_variable_list *v = rl.at(0)->variables; v != nullptr; v = v->next_variable) {
      names->push_back(snmptest::name_text(v));
    }
  };
  std::vector<std::string> v1_names;
  std::vector<std::string> v2_names;
  snmp_perf before = perf_now();
  walk(SNMP_VERSION_1, &v1_names);
  snmp_perf d = perf_delta(before);
  walk(SNMP_VERSION_2c, &v2_names);
  EXPECT_GT(v1_names.size(), 5u);
  EXPECT_EQ(v1_names, v2_names);
  // One GETNEXT per object plus the one that leaves the subtree.
  EXPECT_EQ(d.request, v1_names.size() + 1);
  EXPECT_EQ(d.response_error, 0u);
}

// Twenty subtrees walked at once (groups of 16 and 4 side by side, three
// rows a request so that the walks end in different answers): each entry
// gets what its own walk gets, through the chains and through a sink, in
// fewer requests than the walks one by one.
TEST_F(SnmpManager, SubtreesWalkedSideBySideGetWhatEachWalkAloneGets) {
  std::vector<std::pair<std::string, std::string>> subtrees = {
      {"system", ".1.3.6.1.2.1.1"}, {"nothing", ".1.3.6.1.2.1.1.9.1.99"}, {"broken", "not an oid"}};
  for (int column = 1; column <= 18; column++) {
    subtrees.push_back(
        {"if." + std::to_string(column), ".1.3.6.1.2.1.2.2.1." + std::to_string(column)});
  }
  // Entry name -> the names of its variables, "name=value" for the columns
  // whose values do not move (index, description, type, MTU).
  using walked = std::map<std::string, std::vector<std::string>>;
  auto text_of = [](const snmp_response_data *entry, const netsnmp_variable_list *v) {
    std::string t = snmptest::name_text(v);
    std::string e = entry->name;
    if (e == "if.1" || e == "if.2" || e == "if.3" || e == "if.4")
      t += "=" + snmptest::value_text(v);
    return t;
  };
  constexpr int kRows = 3;
  open_session s;
  v2c(&s.info);
  s.info.timeout = 2000000;
  ASSERT_TRUE(s.open());

  walked alone;
  snmp_perf before = perf_now();
  for (const auto &[name, oid_text] : subtrees) {
    response_list rl;
    sm_response_list_add(&rl.list, name.c_str(), 0, oid_text.c_str());
    ASSERT_EQ(sm_bulk_request_multiple(s.fd, kRows, &rl.list, &s.err), 0) << name;
    for (const netsnmp_variable_list *v = rl.at(0)->variables; v != nullptr; v = v->next_variable) {
      alone[name].push_back(text_of(rl.at(0), v));
    }
  }
  uint32_t alone_requests = perf_delta(before).request;
  ASSERT_GE(alone["if.1"].size(), 1u);
  ASSERT_EQ(alone.count("nothing"), 0u);  // an empty subtree gives nothing

  struct collector {
    walked *out;
    decltype(text_of) *text;
    static void receive(void *ctx, const snmp_response_data *entry, const netsnmp_variable_list *v,
                        size_t count) {
      auto *c = static_cast<collector *>(ctx);
      for (size_t i = 0; i < count; i++, v = v->next_variable) {
        (*c->out)[entry->name].push_back((*c->text)(entry, v));
      }
    }
  };
  for (bool sink : {false, true}) {
    SCOPED_TRACE(sink ? "sink" : "chain");
    response_list rl;
    for (const auto &[name, oid_text] : subtrees) {
      sm_response_list_add(&rl.list, name.c_str(), 0, oid_text.c_str());
    }
    walked together;
    collector c = {&together, &text_of};
    sm_var_sink to = {collector::receive, &c};
    before = perf_now();
    ASSERT_EQ(sm_request_multiple_to(s.fd, kRows, SNMP_REQ_TYPE_BULK, &rl.list, &s.err,
                                     sink ? &to : nullptr),
              0);
    snmp_perf d = perf_delta(before);
    for (size_t i = 0; i < subtrees.size(); i++) {
      for (const netsnmp_variable_list *v = rl.at(i)->variables; v != nullptr;
           v = v->next_variable) {
        together[rl.at(i)->name].push_back(text_of(rl.at(i), v));
      }
    }
    EXPECT_EQ(together, alone);
    EXPECT_LT(d.request * 3, alone_requests) << alone_requests;
    EXPECT_EQ(d.request, d.response);
  }
}

TEST_F(SnmpManager, WalkOfAnEmptySubtreeEndsAfterOneRequest) {
  open_session s;
  v2c(&s.info);
  ASSERT_TRUE(s.open());
  response_list rl;
  sm_response_list_add(&rl.list, "nothing", 0, ".1.3.6.1.2.1.1.9.1.99");
  snmp_perf before = perf_now();
  EXPECT_EQ(sm_bulk_request_multiple(s.fd, 0, &rl.list, &s.err), 0);
  EXPECT_EQ(rl.at(0)->variables, nullptr);
  EXPECT_EQ(perf_delta(before).request, 1u);
}

TEST_F(SnmpManager, EverySecurityLevelAndAlgorithmPairWorks) {
  std::vector<std::pair<int, int>> pairs = {{0, 0}};
  for (int a = 1; a <= 6; a++) {
    pairs.push_back({a, 0});
    for (int p = 1; p <= 4; p++) pairs.push_back({a, p});
  }
  for (auto [auth, priv] : pairs) {
    SCOPED_TRACE(vktest::snmpd_user_name(auth, priv) + " " + sm_auth_algorithm_name(auth) + "/" +
                 sm_priv_algorithm_name(priv));
    open_session s;
    v3(&s.info, auth, priv);
    ASSERT_TRUE(s.open()) << error_text(-1, &s.err);
    response_list rl;
    sm_response_list_add(&rl.list, "system.name", 0, ".1.3.6.1.2.1.1.5.0");
    ASSERT_EQ(sm_get_request(s.fd, &rl.list, &s.err), 0) << error_text(-102, &s.err);
    ASSERT_NE(rl.at(0)->variables, nullptr);
    EXPECT_NE(snmptest::value_text(rl.at(0)->variables).find("manager-test-host"),
              std::string::npos);
  }
}

TEST_F(SnmpManager, WrongSecretsAndUnknownUsersFailWithTheLibraryText) {
  struct wrong_case {
    const char *what;
    int auth;
    int priv;
    const char *auth_pass;
    const char *priv_pass;
    const char *user;  // null: the fixture's user
    const char *expect;
  };
  const wrong_case cases[] = {
      {"auth pass phrase", 4, 0, "not-the-pass-phrase", vktest::kSnmpdPrivPass, nullptr,
       "Authentication failure"},
      {"priv pass phrase", 2, 2, vktest::kSnmpdAuthPass, "not-the-pass-phrase", nullptr, "Timeout"},
      {"unknown user", 2, 0, vktest::kSnmpdAuthPass, vktest::kSnmpdPrivPass, "nobody",
       "Unknown user name"},
  };
  for (const wrong_case &c : cases) {
    SCOPED_TRACE(c.what);
    open_session s;
    v3(&s.info, c.auth, c.priv, c.auth_pass, c.priv_pass);
    if (c.user != nullptr) {
      snprintf(s.info.security.name, sizeof(s.info.security.name), "%s", c.user);
    }
    ASSERT_TRUE(s.open());  // the engine probe needs no secret
    response_list rl;
    sm_response_list_add(&rl.list, "system.name", 0, ".1.3.6.1.2.1.1.5.0");
    snmp_perf before = perf_now();
    EXPECT_EQ(sm_get_request(s.fd, &rl.list, &s.err), SM_ERR_RESPONSE);
    snmp_perf d = perf_delta(before);
    EXPECT_EQ(d.request, 1u);
    EXPECT_EQ(d.request_error, 1u);
    EXPECT_EQ(d.response, 0u);
    EXPECT_NE(s.err.sess_status, 0);
    ASSERT_NE(s.err.error_message, nullptr);
    // The library may append a detail of an earlier failure in brackets.
    EXPECT_EQ(std::string(s.err.error_message).rfind(c.expect, 0), 0u) << s.err.error_message;
    EXPECT_EQ(rl.at(0)->variables, nullptr);
  }
}

TEST_F(SnmpManager, ChangedPassPhraseTakesEffectAtTheNextSession) {
  // The library keeps one user per engine and name; a session with other
  // keys than the stored user's must still use its own.
  const char *passes[] = {vktest::kSnmpdAuthPass, "another-pass-phrase", vktest::kSnmpdAuthPass,
                          "another-pass-phrase", vktest::kSnmpdAuthPass};
  const int expect[] = {0, SM_ERR_RESPONSE, 0, SM_ERR_RESPONSE, 0};
  for (int i = 0; i < 5; i++) {
    SCOPED_TRACE(i);
    open_session s;
    v3(&s.info, 3, 0, passes[i]);
    ASSERT_TRUE(s.open());
    response_list rl;
    sm_response_list_add(&rl.list, "system.name", 0, ".1.3.6.1.2.1.1.5.0");
    EXPECT_EQ(sm_get_request(s.fd, &rl.list, &s.err), expect[i]) << error_text(-102, &s.err);
  }
  // A level raised from authNoPriv to authPriv for the same name gets its
  // privacy key too.
  for (int level : {SM_SEC_LEVEL_AUTHNOPRIV, SM_SEC_LEVEL_AUTHPRIV}) {
    SCOPED_TRACE(level);
    open_session s;
    ASSERT_EQ(sm_set_snmp_info(&s.info, "127.0.0.1", port(), SNMP_VERSION_3, kShortTimeoutUs,
                               kShortRetries, nullptr),
              0);
    ASSERT_EQ(sm_set_snmp_sec_info(&s.info.security, level, vktest::snmpd_user_name(5, 3).c_str(),
                                   5, vktest::kSnmpdAuthPass, 3, vktest::kSnmpdPrivPass),
              0);
    ASSERT_TRUE(s.open());
    response_list rl;
    sm_response_list_add(&rl.list, "system.name", 0, ".1.3.6.1.2.1.1.5.0");
    int ret = sm_get_request(s.fd, &rl.list, &s.err);
    if (level == SM_SEC_LEVEL_AUTHPRIV) {
      EXPECT_EQ(ret, 0) << error_text(ret, &s.err);
      ASSERT_NE(rl.at(0)->variables, nullptr);
      EXPECT_NE(snmptest::value_text(rl.at(0)->variables).find("manager-test-host"),
                std::string::npos);
    }
  }
}

TEST_F(SnmpManager, WrongCommunityTimesOutWithinTheSessionLimits) {
  open_session s;
  v2c(&s.info, "not-the-community");
  ASSERT_TRUE(s.open());
  response_list rl;
  sm_response_list_add(&rl.list, "system.name", 0, ".1.3.6.1.2.1.1.5.0");
  snmp_perf before = perf_now();
  EXPECT_EQ(sm_get_request(s.fd, &rl.list, &s.err), SM_ERR_RESPONSE);
  EXPECT_EQ(s.err.sess_status, STAT_TIMEOUT);
  EXPECT_EQ(s.err.sess_snmp_error_num, SNMPERR_TIMEOUT);
  EXPECT_EQ(error_text(SM_ERR_RESPONSE, &s.err).rfind("Timeout", 0), 0u);
  snmp_perf d = perf_delta(before);
  EXPECT_EQ(d.request, 1u);
  EXPECT_EQ(d.request_error, 1u);
}

TEST_F(SnmpManager, V3OpenFailsWhenNobodyAnswersTheEngineProbe) {
  open_session s;
  v3(&s.info, 2, 2);
  int silent_port = vktest::free_port(SOCK_DGRAM);
  ASSERT_EQ(sm_set_snmp_info(&s.info, "127.0.0.1", static_cast<uint16_t>(silent_port),
                             SNMP_VERSION_3, kShortTimeoutUs, kShortRetries, nullptr),
            0);
  snmp_perf before = perf_now();
  EXPECT_FALSE(s.open());
  EXPECT_EQ(s.setup_ret, 0);
  snmp_perf d = perf_delta(before);
  EXPECT_EQ(d.session_open_error, 1u);
  EXPECT_EQ(d.session_open, 0u);
  EXPECT_NE(s.err.sess_status, 0);
  EXPECT_NE(error_text(-1, &s.err), "");
}

TEST_F(SnmpManager, UnresolvableHostFailsToOpen) {
  open_session s;
  // An empty label makes the name invalid for the resolver, which refuses it
  // without sending a query off this host.
  ASSERT_EQ(sm_set_snmp_info(&s.info, "no..such.invalid", 161, SNMP_VERSION_2c, kShortTimeoutUs,
                             kShortRetries, "public"),
            0);
  snmp_perf before = perf_now();
  EXPECT_FALSE(s.open());
  EXPECT_EQ(perf_delta(before).session_open_error, 1u);
  EXPECT_EQ(s.err.sess_status, STAT_ERROR);
  ASSERT_NE(s.err.error_message, nullptr);
  EXPECT_NE(std::string(s.err.error_message), "");
}

TEST(SnmpManagerIpv6, GetOverUdp6Loopback) {
  vktest::snmpd_instance agent;
  vktest::snmpd_options o;
  o.ipv6 = true;
  o.v3_users = false;
  o.sys_name = "v6-host";
  std::string error;
  if (!agent.start(o, &error)) GTEST_SKIP() << "no IPv6 loopback: " << error;
  open_session s;
  ASSERT_EQ(sm_set_snmp_info(&s.info, "::1", static_cast<uint16_t>(agent.port), SNMP_VERSION_2c,
                             kShortTimeoutUs * 5, kShortRetries, "public"),
            0);
  ASSERT_TRUE(s.open()) << error_text(-1, &s.err);
  response_list rl;
  sm_response_list_add(&rl.list, "system.name", 0, ".1.3.6.1.2.1.1.5.0");
  ASSERT_EQ(sm_get_request(s.fd, &rl.list, &s.err), 0) << error_text(-102, &s.err);
  ASSERT_NE(rl.at(0)->variables, nullptr);
  EXPECT_NE(snmptest::value_text(rl.at(0)->variables).find("v6-host"), std::string::npos);
}

}  // namespace
