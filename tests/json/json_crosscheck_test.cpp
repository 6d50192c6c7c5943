// Reads and writes the same texts with nlohmann/json and compares. Texts that only this reader
// accepts (raw control characters, lone surrogates, the depth limit) are left out: there the two
// are meant to differ.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "json/json.h"

namespace tolvenar {
namespace {

using Theirs = nlohmann::ordered_json;

Theirs ParseTheirs(const std::string& text) {
  return Theirs::parse(text, nullptr, /*allow_exceptions=*/false);
}

bool IsIntegerLiteral(const std::string& text) {
  return text.find_first_of(".eE") == std::string::npos;
}

void ExpectSame(const JsonValue& ours, const Theirs& theirs, const std::string& where) {
  SCOPED_TRACE(where);
  switch (ours.Kind()) {
    case JsonKind::Object: {
      ASSERT_TRUE(theirs.is_object());
      ASSERT_EQ(ours.Members().size(), theirs.size());
      size_t i = 0;
      for (const auto& [name, value] : theirs.items()) {
        EXPECT_EQ(ours.Members()[i].Name(), name);
        ExpectSame(ours.Members()[i].Value(), value, where + "/" + name);
        ++i;
      }
      break;
    }
    case JsonKind::Array:
      ASSERT_TRUE(theirs.is_array());
      ASSERT_EQ(ours.Elements().size(), theirs.size());
      for (size_t i = 0; i < theirs.size(); ++i) {
        ExpectSame(ours.Elements()[i], theirs[i], where + "/" + std::to_string(i));
      }
      break;
    case JsonKind::String:
      ASSERT_TRUE(theirs.is_string());
      EXPECT_EQ(ours.Text(), theirs.get<std::string>());
      break;
    case JsonKind::Number: {
      ASSERT_TRUE(theirs.is_number());
      const std::string literal(ours.Text());
      if (theirs.is_number_unsigned() && IsIntegerLiteral(literal)) {
        EXPECT_EQ(std::strtoull(literal.c_str(), nullptr, 10), theirs.get<uint64_t>());
      } else if (theirs.is_number_integer() && IsIntegerLiteral(literal)) {
        EXPECT_EQ(std::strtoll(literal.c_str(), nullptr, 10), theirs.get<int64_t>());
      } else {
        EXPECT_EQ(std::strtod(literal.c_str(), nullptr), theirs.get<double>());
      }
      break;
    }
    case JsonKind::True:
      EXPECT_TRUE(theirs.is_boolean() && theirs.get<bool>());
      break;
    case JsonKind::False:
      EXPECT_TRUE(theirs.is_boolean() && !theirs.get<bool>());
      break;
    case JsonKind::Null:
      EXPECT_TRUE(theirs.is_null());
      break;
  }
}

void ExpectSameParse(const std::string& text) {
  SCOPED_TRACE(text);
  const Theirs theirs = ParseTheirs(text);
  ASSERT_FALSE(theirs.is_discarded());
  const auto ours = ParseJSON(text);
  ASSERT_NE(ours, nullptr);
  ExpectSame(*ours, theirs, "$");
}

// Valid UTF-8 text drawn from every encoding length, control characters included.
std::string RandomText(std::mt19937& random) {
  static const std::vector<std::pair<char32_t, char32_t>> ranges = {
      {0x00, 0x1F},    {0x20, 0x7F},     {0x20, 0x7F},       {0x80, 0x7FF},
      {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  std::string text;
  const int length = static_cast<int>(random() % 12);
  for (int i = 0; i < length; ++i) {
    const auto& [low, high] = ranges[random() % ranges.size()];
    AppendUtf8(text, low + static_cast<char32_t>(random() % (high - low + 1)));
  }
  return text;
}

Theirs RandomValue(std::mt19937& random, int depth) {
  switch (random() % (depth < 4 ? 8 : 6)) {
    case 0:
      return RandomText(random);
    case 1:
      return static_cast<int64_t>(random()) - static_cast<int64_t>(random()) * 4096;
    case 2:
      return static_cast<double>(static_cast<int32_t>(random())) / 1024.0 * 1e-3;
    case 3:
      return random() % 2 == 0;
    case 4:
      return nullptr;
    case 5:
      return static_cast<uint64_t>(random()) << 32;
    case 6: {
      Theirs array = Theirs::array();
      for (int n = static_cast<int>(random() % 4); n > 0; --n) {
        array.push_back(RandomValue(random, depth + 1));
      }
      return array;
    }
    default: {
      Theirs object = Theirs::object();
      for (int n = static_cast<int>(random() % 4); n > 0; --n) {
        object[RandomText(random) + std::to_string(n)] = RandomValue(random, depth + 1);
      }
      return object;
    }
  }
}

TEST(JsonCrossCheck, ReadsLikeNlohmann) {
  const std::vector<std::string> corpus = {
      "{}",
      "[]",
      "\xEF\xBB\xBF{\"a\":1}\r\n",
      R"({"command":{"id":7,"method":"GET","path":"\/api\/x","body":"{\"a\":1}",)"
      R"("authorization":"Bearer x","session_token":null}})",
      R"({"connector_id":12345678901234567890,"connector_secret":"s\u00e9\u00C9"})",
      R"([0,-0,1.50,2E3,-3e-2,1E+2,0.0e0,9223372036854775807,-9223372036854775808,1e300])",
      R"(["\"\\\/\b\f\n\r\t","\u0000\u001f\u007F","\uD83D\uDE00\ud83d\ude00","\uFFFF"])",
      "[\"\xC3\xA7\xE2\x82\xAC\xF0\x9F\x98\x80\"]",
      " [ true , false , null , { \"k\" : [ ] } ] ",
      R"({"a":{"b":{"c":[[[{"d":"e"}]]]}}})",
  };
  for (const std::string& text : corpus) ExpectSameParse(text);

  std::mt19937 random(4242);
  for (int round = 0; round < 300; ++round) {
    const Theirs value = RandomValue(random, 0);
    ExpectSameParse(value.dump());
    ExpectSameParse(value.dump(-1, ' ', /*ensure_ascii=*/true));
    ExpectSameParse(value.dump(2));
  }
}

TEST(JsonCrossCheck, RejectsLikeNlohmann) {
  const std::vector<std::string> corpus = {
      "",          " ",     "{} x",  "[1,]",      "{\"a\":1,}", "01",  "-01",
      "1.",        ".5",    "+1",    "1e",        "TRUE",       "nul", "\"\\x\"",
      "\"\\u12\"", "{a:1}", "[1 2]", "{\"a\" 1}", "\"abc",      "[",   "{]",
  };
  for (const std::string& text : corpus) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(ParseTheirs(text).is_discarded());
    EXPECT_EQ(ParseJSON(text), nullptr);
  }
}

TEST(JsonCrossCheck, NlohmannReadsWhatWeWrite) {
  std::mt19937 random(777);
  std::vector<std::string> texts = {"", "x/y", "\xC3\xA9\t", "\x01\x1F\x7F\"\\",
                                    "\xF0\x9F\x98\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF"};
  for (int i = 0; i < 500; ++i) texts.push_back(RandomText(random));

  JsonObjectWriter writer;
  for (size_t i = 0; i < texts.size(); ++i) {
    writer.AddString(texts[i] + "#" + std::to_string(i), texts[i]);
  }
  const std::vector<int64_t> numbers = {0, -5, 502, INT64_MIN, INT64_MAX};
  for (size_t i = 0; i < numbers.size(); ++i) {
    writer.AddInteger("n" + std::to_string(i), numbers[i]);
  }

  const std::string text = writer.ToString();
  const Theirs theirs = ParseTheirs(text);
  ASSERT_FALSE(theirs.is_discarded());
  ASSERT_EQ(theirs.size(), texts.size() + numbers.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string name = texts[i] + "#" + std::to_string(i);
    ASSERT_TRUE(theirs.contains(name)) << i;
    EXPECT_EQ(theirs[name].get<std::string>(), texts[i]) << i;
  }
  for (size_t i = 0; i < numbers.size(); ++i) {
    EXPECT_EQ(theirs["n" + std::to_string(i)].get<int64_t>(), numbers[i]);
  }
}

}  // namespace
}  // namespace tolvenar
