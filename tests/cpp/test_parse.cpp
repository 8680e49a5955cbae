#include <set>
#include <string>

#include <gtest/gtest.h>

#include "quaro/dsl/ops.hpp"

using namespace quaro;

namespace {

TEST(Ops, TablesAreConsistent) {
  std::set<std::string_view> tags, aliases;
  for (const ops::OpSpec &row : ops::OP_TABLE) {
    ASSERT_FALSE(row.aliases.empty());
    EXPECT_TRUE(tags.insert(row.tag).second) << row.tag;
    for (auto a : row.aliases)
      EXPECT_TRUE(aliases.insert(a).second) << a;
    std::set<std::string_view> names;
    for (const auto &p : row.params)
      EXPECT_TRUE(names.insert(p.name).second) << row.tag << "." << p.name;
  }
  EXPECT_EQ(tags.size(), 38u);
  for (const auto &b : ops::BINOP_TABLE)
    EXPECT_EQ(tags.count(b.tag), 0u);
}

TEST(Ops, Lookups) {
  ASSERT_NE(ops::find_by_alias("average"), nullptr);
  EXPECT_EQ(ops::find_by_alias("average"), ops::find_by_alias("sma"));
  EXPECT_EQ(ops::find_by_alias("sma")->tag, "Average");
  EXPECT_EQ(ops::find_by_alias("SMA"), nullptr);
  EXPECT_EQ(ops::find_by_tag("Average")->aliases.front(), "sma");
  EXPECT_EQ(ops::find_by_tag("Data"), nullptr);
  EXPECT_EQ(ops::find_by_alias("groupby_category")->params.at(1).kind, ops::ParamKind::Str);
  EXPECT_EQ(ops::find_by_alias("hold_until")->params.size(), 8u);
  EXPECT_EQ(ops::binop_tag(">="), "Ge");
  EXPECT_EQ(ops::binop_tag("and"), "And");
  EXPECT_FALSE(ops::binop_tag("="));
  EXPECT_FALSE(ops::binop_tag("not"));
  EXPECT_EQ(ops::binop_symbol_for_tag("Div"), "/");
  EXPECT_FALSE(ops::binop_symbol_for_tag("Neg"));
}

} // namespace
