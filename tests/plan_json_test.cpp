#include <gtest/gtest.h>

#include "launch/plan_json.hpp"

namespace zp {
namespace {

TEST(PlanJson, CompactWithEscapedSlashesAndRawUtf8) {
  const LaunchPlan plan{"preview", "/R/python/bin/python3", {"-I", "a\"b\\c", "tab\there", "nl\n", "\x01\x1f\x7f"},
                        "/h/Zoë 用户"};
  EXPECT_EQ(planToJson(plan),
            R"({"mode":"preview","executable":"\/R\/python\/bin\/python3",)"
            R"("arguments":["-I","a\"b\\c","tab\there","nl\n","\u0001\u001f)"
            "\x7f"
            R"("],"data_root":"\/h\/Zoë 用户"})");
}

TEST(PlanJson, EmptyArgumentList) {
  EXPECT_EQ(planToJson({"m", "", {}, ""}), R"({"mode":"m","executable":"","arguments":[],"data_root":""})");
}

TEST(PlanJson, RefusesInvalidUtf8InAnyString) {
  const std::string bad = "/home/\xff";
  EXPECT_EQ(planToJson({"preview", bad, {}, "/ok"}), std::nullopt);
  EXPECT_EQ(planToJson({"preview", "/ok", {"-I", bad}, "/ok"}), std::nullopt);
  EXPECT_EQ(planToJson({"preview", "/ok", {}, bad}), std::nullopt);
}

TEST(Utf8, Validation) {
  struct Row {
    const char* what;
    std::string text;
    bool valid;
  };
  const Row rows[] = {
      {"ascii", "abc", true},
      {"two, three and four bytes", "\xc3\xab\xe7\x94\xa8\xf0\x9f\x98\x80", true},
      {"highest code point", "\xf4\x8f\xbf\xbf", true},
      {"embedded NUL is valid UTF-8", std::string("a\0b", 3), true},
      {"lone continuation", "\x80", false},
      {"truncated sequence", "\xe7\x94", false},
      {"overlong slash", "\xc0\xaf", false},
      {"overlong three-byte", "\xe0\x80\xaf", false},
      {"surrogate", "\xed\xa0\x80", false},
      {"past U+10FFFF", "\xf4\x90\x80\x80", false},
      {"invalid lead byte", "\xff", false},
  };
  for (const Row& row : rows) EXPECT_EQ(isValidUtf8(row.text), row.valid) << row.what;
}

}  // namespace
}  // namespace zp
