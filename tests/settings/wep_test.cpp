// Static WEP keys: the record the driver receives and the values the
// adapter's key keeps.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/oids.h"
#include "tests/settings/settings_fixture.h"

namespace hx::test {
namespace {

using sim::Bytes;
using sim::Response;
using sim::WordBytes;

class WepKeyTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    for (const char* name : kValues) Store(name, "prior");
  }

  // The request as the driver must see it: header, key, three zero bytes.
  static Bytes Record(ULONG keyIndex, const Bytes& key) {
    Bytes record = WordBytes(static_cast<uint32_t>(key.size() + 15));
    for (uint32_t word : {static_cast<uint32_t>(keyIndex), static_cast<uint32_t>(key.size())}) {
      const Bytes b = WordBytes(word);
      record.insert(record.end(), b.begin(), b.end());
    }
    record.insert(record.end(), key.begin(), key.end());
    record.insert(record.end(), 3, 0);
    return record;
  }

  // A stored key as the registry returns it: the platform ends REG_SZ data with a NUL.
  static Bytes StoredKey(const Bytes& key) {
    Bytes stored = key;
    if (stored.back() != 0) stored.push_back(0);
    return stored;
  }

  static constexpr const char* kValues[] = {"WepKey1", "WepKey2",    "WepKey3",
                                            "WepKey4", "WepKeySize", "TxWepKey"};
};

Bytes Key(size_t length, uint8_t first = 0xA0) {
  Bytes key(length);
  for (size_t i = 0; i < length; ++i) key[i] = static_cast<uint8_t>(first + i);
  return key;
}

TEST_F(WepKeyTest, RequestAndStoredValues) {
  struct Case {
    unsigned index;
    Bytes key;
    int transmit;
    ULONG keyIndex;                 // as the driver receives it
    const char* slot;               // the key value written, if any
    std::optional<const char*> tx;  // "TxWepKey" afterwards
  };
  const Case cases[] = {
      {1, Key(5), 1, 0x80000000, "WepKey1", "0"},
      {4, Key(13), 0, 3, "WepKey4", "prior"},
      {2, {0x11, 0x00, 0x22, 0x33, 0x44}, 0, 1, "WepKey2", "prior"},  // a zero byte inside
      {3, {0x11, 0x22, 0x33, 0x44, 0x00}, 7, 0x80000002, "WepKey3", "2"},
      {0, Key(5), 1, 0x80000000, nullptr, "0"},
      {5, Key(5), 0, 4, nullptr, "prior"},
      {2, Key(16), 0, 1, "WepKey2", "prior"},       // 128-bit
      {3, Key(29), 1, 0x80000002, "WepKey3", "2"},  // longer than the old fixed record
      {4, Key(32), 0, 3, "WepKey4", "prior"},       // the longest a snapshot can restore
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "index " << c.index << ", " << c.key.size() << " bytes");
    for (const char* name : kValues) Store(name, "prior");
    sim->ClearCalls();
    Bytes key = c.key;
    EXPECT_EQ(HalvexSetWepKey(adapter, c.index, key.data(), static_cast<unsigned>(key.size()), c.transmit),
              0);
    const auto calls = sim->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Oid(), static_cast<uint32_t>(OID_802_11_ADD_WEP));
    EXPECT_EQ(calls[0].inLength, RequestSize(static_cast<ULONG>(key.size() + 15)));
    EXPECT_EQ(Sent(calls[0], c.key.size() + 15), Record(c.keyIndex, c.key));
    EXPECT_EQ(key, c.key) << "the caller's key is not written to";

    for (int slot = 1; slot <= 4; ++slot) {
      const std::string name = "WepKey" + std::to_string(slot);
      const std::optional<Bytes> stored = StoredBytes(name.c_str());
      if (c.slot != nullptr && name == c.slot) {
        EXPECT_EQ(stored, StoredKey(c.key)) << name;
      } else {
        EXPECT_EQ(StoredText(name.c_str()), "prior") << name;
      }
    }
    EXPECT_EQ(StoredText("WepKeySize"), std::to_string(c.key.size()));
    EXPECT_EQ(StoredText("TxWepKey"), *c.tx);
  }
}

TEST_F(WepKeyTest, RefusedKeysLeaveTheRegistryAlone) {
  struct Case {
    const char* name;
    unsigned index;
    size_t length;
    std::optional<Response> script;  // none: a refused handle
    int result;
    bool sent;
  };
  const Case cases[] = {
      {"empty key", 1, 0, Response::SetStatus(0), 1, false},
      {"longer than a snapshot keeps", 1, 33, Response::SetStatus(0), 1, false},
      {"index would read as the transmit flag", 0x80000001, 5, Response::SetStatus(0), 1, false},
      {"driver refuses", 1, 5, Response::Fail(0xC0000001), 1, true},
      {"driver status", 1, 5, Response::Fail(0xC00000BB), static_cast<int>(0xC00000BB), true},
      {"refused handle", 1, 5, std::nullopt, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim->ClearCalls();
    if (c.script) sim->Script(OID_802_11_ADD_WEP, *c.script);
    Bytes key = Key(c.length);
    EXPECT_EQ(HalvexSetWepKey(c.script ? adapter : kRefusedHandle, c.index, key.data(),
                              static_cast<unsigned>(c.length), 1),
              c.result);
    EXPECT_EQ(sim->Calls().size(), c.sent ? 1u : 0u);
    for (const char* name : kValues) EXPECT_EQ(StoredText(name), "prior") << name;
  }
}

TEST_F(WepKeyTest, PendingKeysAreRecorded) {
  sim->Script(OID_802_11_ADD_WEP, Response::SetStatus(259));
  Bytes key = Key(13);
  EXPECT_EQ(HalvexSetWepKey(adapter, 2, key.data(), 13, 1), 0);
  EXPECT_EQ(StoredBytes("WepKey2"), StoredKey(key));
  EXPECT_EQ(StoredText("WepKeySize"), "13");
  EXPECT_EQ(StoredText("TxWepKey"), "1");
}

}  // namespace
}  // namespace hx::test
