#include <gtest/gtest.h>

#include <set>

#include "pool/account/name_generator.h"

namespace moxtile {
namespace {

TEST(NameGenerator, FirstNamesFromTheFixedSeed) {
  NameGenerator gen;
  EXPECT_EQ(gen.next_name(), "test_UKUKKUUK");
  EXPECT_EQ(gen.next_name(), "test_jii8OIPW");
  EXPECT_EQ(gen.next_name(), "test_9mP8mMxu");
}

TEST(NameGenerator, NamesAreThirteenCharactersFromTheAlphabet) {
  NameGenerator gen;
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    std::string name = gen.next_name();
    ASSERT_EQ(name.size(), 13u);
    ASSERT_EQ(name.substr(0, 5), "test_");
    for (char c : name.substr(5)) ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
    seen.insert(name);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

TEST(NameGenerator, StepIsXorshift128) {
  // Reference arithmetic written out independently of the class.
  std::uint32_t x = 0x2A2A2A2A, y = x, z = x, w = x;
  NameGenerator gen;
  for (int i = 0; i < 100; ++i) {
    std::uint32_t t = x ^ (x << 11);
    x = y;
    y = z;
    z = w;
    w = w ^ (w >> 19) ^ t ^ (t >> 8);
    ASSERT_EQ(gen.step(), w) << "step " << i;
  }
}

}  // namespace
}  // namespace moxtile
