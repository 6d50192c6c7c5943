#include "json/json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/exception.h"

namespace tolvenar {
namespace {

using namespace std::string_literals;

std::string Nested(size_t depth, const std::string& open, const std::string& inner,
                   const std::string& close) {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += open;
  text += inner;
  for (size_t i = 0; i < depth; ++i) text += close;
  return text;
}

struct AcceptanceCase {
  std::string text;
  bool accepted;
};

TEST(JsonParse, AcceptsOnlyOneWellFormedValue) {
  const std::vector<AcceptanceCase> cases = {
      // Byte-order mark and white space.
      {"\xEF\xBB\xBF{}\n", true},
      {" \t\r\n{ \"a\" : [ 1 , 2 ] , \"b\" : { } } \r\n\t ", true},
      {"\xEF\xBB\xBF\xEF\xBB\xBF{}", false},  // only one leading mark is skipped
      {"{}\xEF\xBB\xBF", false},
      {"\v{}", false},
      {"\f{}", false},
      {"\xC2\xA0{}", false},
      {"", false},
      {"\xEF\xBB\xBF", false},
      {" \r\n", false},
      // Any kind of value at the top.
      {"[]", true},
      {"\"s\"", true},
      {"17", true},
      {"true", true},
      {"false", true},
      {"null", true},
      // Trailing content.
      {"{} x", false},
      {"{}{}", false},
      {"[1]]", false},
      {"1 2", false},
      {"\"a\"\0"s, false},
      {"{} // note", false},
      // Trailing and stray commas, separators.
      {"[1,]", false},
      {"{\"a\":1,}", false},
      {"[,]", false},
      {"{,}", false},
      {"[1,,2]", false},
      {"[1 2]", false},
      {"{\"a\":1 \"b\":2}", false},
      {"{\"a\" 1}", false},
      {"{\"a\":}", false},
      {"{\"a\"}", false},
      {"{a:1}", false},
      {"{'a':1}", false},
      {"{1:1}", false},
      {"{]", false},
      {"[}", false},
      {"[", false},
      {"{\"a\":1", false},
      // Literals: lower case only, whole words.
      {"TRUE", false},
      {"True", false},
      {"nULL", false},
      {"Null", false},
      {"tru", false},
      {"nulls", false},
      {"[true false]", false},
      // Numbers (RFC 8259).
      {"0", true},
      {"-0", true},
      {"1.50", true},
      {"2E3", true},
      {"-3e-2", true},
      {"1E+2", true},
      {"0.0e0", true},
      {"123456789012345678901234567890", true},
      {"01", false},
      {"-01", false},
      {"00", false},
      {"+1", false},
      {".5", false},
      {"1.", false},
      {"1.e3", false},
      {"1e", false},
      {"1e+", false},
      {"-", false},
      {"- 1", false},
      {"0x10", false},
      {"NaN", false},
      {"Infinity", false},
      {"1_000", false},
      // Escapes.
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\u00E9\\uFFFF\"", true},
      {"\"\\x41\"", false},
      {"\"\\a\"", false},
      {"\"\\'\"", false},
      {"\"\\U0041\"", false},
      {"\"\\u12\"", false},
      {"\"\\u12G4\"", false},
      {"\"\\uD83D\\u12\"", false},
      {"\"\\\"", false},
      {"\"abc", false},
      {"\"abc\\", false},
      // Raw control characters inside strings are taken unchanged.
      {"\"a\x01\tb\x1F\n\x7F\"", true},
      {"\"\0\""s, true},
      // Duplicate members.
      {"{\"id\":\"a\",\"id\":\"b\"}", true},
  };
  for (const AcceptanceCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(ParseJSON(c.text) != nullptr, c.accepted);
  }
}

TEST(JsonParse, NestsAtMost512Levels) {
  EXPECT_NE(ParseJSON(Nested(512, "[", "", "]")), nullptr);
  EXPECT_EQ(ParseJSON(Nested(513, "[", "", "]")), nullptr);
  EXPECT_NE(ParseJSON(Nested(511, "{\"a\":", "[]", "}")), nullptr);
  EXPECT_EQ(ParseJSON(Nested(512, "{\"a\":", "[]", "}")), nullptr);
  EXPECT_NE(ParseJSON(Nested(256, "[{\"k\":", "1", "}]")), nullptr);
  EXPECT_EQ(ParseJSON(Nested(256, "[{\"k\":", "[]", "}]")), nullptr);
  // Siblings do not add to the depth.
  const std::string deep = Nested(511, "[", "", "]");
  EXPECT_NE(ParseJSON("[" + deep + "," + deep + "]"), nullptr);
}

TEST(JsonParse, HostileNestingGivesNoValue) {
  EXPECT_EQ(ParseJSON(std::string(1000000, '[')), nullptr);
  EXPECT_EQ(ParseJSON(Nested(200000, "{\"a\":", "", "")), nullptr);
  EXPECT_EQ(ParseJSON(Nested(200000, "[", "1", "]")), nullptr);
}

// `count` copies of `item` between `open` and `close`, separated by commas.
std::string Repeated(const std::string& open, const std::string& item, size_t count,
                     const std::string& close) {
  std::string text = open;
  text.reserve(open.size() + count * (item.size() + 1) + close.size());
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += ',';
    text += item;
  }
  return text + close;
}

// Every value in the tree, the outermost included; walked with a stack of its own.
size_t CountValues(const JsonValue& root) {
  size_t count = 0;
  std::vector<const JsonValue*> stack = {&root};
  while (!stack.empty()) {
    const JsonValue* value = stack.back();
    stack.pop_back();
    ++count;
    for (const JsonValue& element : value->Elements()) stack.push_back(&element);
    for (const JsonMember& member : value->Members()) stack.push_back(&member.Value());
  }
  return count;
}

struct ShapeCase {
  std::string name;
  std::string (*document)(size_t values);  // a text holding exactly `values` values
};

TEST(JsonParse, BoundsTheNumberOfValues) {
  const std::vector<ShapeCase> shapes = {
      {"zeros", [](size_t values) { return Repeated("[", "0", values - 1, "]"); }},
      {"empty arrays in a member",
       [](size_t values) { return Repeated(R"({"x":[)", "[]", values - 2, "]}"); }},
      {"members", [](size_t values) { return Repeated("{", R"("k":true)", values - 1, "}"); }},
      {"pairs",
       [](size_t values) {
         const size_t pairs = (values - 1) / 2;
         return Repeated("[", R"({"":""})", pairs, (values - 1) % 2 == 0 ? "]" : ",null]");
       }},
  };
  for (const ShapeCase& shape : shapes) {
    SCOPED_TRACE(shape.name);
    const auto at_bound = ParseJSON(shape.document(kMaxJsonValues));
    ASSERT_NE(at_bound, nullptr);
    EXPECT_EQ(CountValues(*at_bound), kMaxJsonValues);
    EXPECT_EQ(ParseJSON(shape.document(kMaxJsonValues + 1)), nullptr);
  }
}

TEST(JsonParse, LongArrayOfZerosGivesNoValue) {
  // 10 MB of `0,`: fifty times the bound.
  EXPECT_EQ(ParseJSON(Repeated("[", "0", 5000000, "]")), nullptr);
  EXPECT_EQ(ParseJSON(Repeated(R"({"command":{"id":7,"body":[)", "0", 5000000, "]}}")), nullptr);
}

// A relayed body is one string however long; it costs its own bytes, not a value each.
TEST(JsonParse, TenMegabyteStringMemberParsesWhole) {
  const std::string piece = R"({\"nome\":\"Jo\u00e3o\",\"url\":\"\/p\/17\"}\n)";
  const std::string decoded_piece = "{\"nome\":\"Jo\xC3\xA3o\",\"url\":\"/p/17\"}\n";
  std::string literal;
  std::string decoded;
  while (decoded.size() < 10 * 1024 * 1024) {
    literal += piece;
    decoded += decoded_piece;
  }
  const auto command =
      ParseJSON(R"({"id":"7","body":")" + literal + R"(","path":"\/api\/x","n":[1,2]})");
  ASSERT_NE(command, nullptr);
  EXPECT_EQ(TryGetJSONString(*command, "body"), decoded);
  EXPECT_EQ(TryGetJSONString(*command, "id"), "7");
  EXPECT_EQ(TryGetJSONString(*command, "path"), "/api/x");
  EXPECT_EQ(command->Find("n")->Elements()[1].Text(), "2");

  const std::string raw(10 * 1024 * 1024 + 1, 'a');
  const auto plain = ParseJSON("[\"" + raw + "\"]");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->Elements()[0].Text(), raw);
}

// The outermost value owns the tree: moving it keeps every text and child reachable.
TEST(JsonParse, MovedValueKeepsItsTree) {
  auto parsed = ParseJSON(R"({"ab":"cd","":"","n":[-0,{"x":"y"}]})");
  ASSERT_NE(parsed, nullptr);
  JsonValue moved = std::move(*parsed);
  parsed.reset();
  ASSERT_EQ(moved.Members().size(), 3u);
  EXPECT_EQ(moved.Members()[0].Name(), "ab");
  EXPECT_EQ(TryGetJSONString(moved, "ab"), "cd");
  EXPECT_EQ(moved.Members()[1].Name(), "");
  EXPECT_EQ(TryGetJSONString(moved, ""), "");
  const JsonValue* n = moved.Find("n");
  ASSERT_NE(n, nullptr);
  ASSERT_EQ(n->Elements().size(), 2u);
  EXPECT_EQ(n->Elements()[0].Text(), "-0");
  EXPECT_EQ(TryGetJSONString(n->Elements()[1], "x"), "y");
}

TEST(JsonParse, MutatedTextsNeverRaise) {
  const std::string seed =
      "\xEF\xBB\xBF{\"command\":{\"id\":7,\"method\":\"GET\",\"path\":\"\\/api\\/x\","
      "\"body\":\"{\\\"a\\\":[1.5e3,-0,true,false,null]}\",\"s\":\"\\uD83D\\uDE00\\u00e9\"}}";
  const std::string alphabet = "{}[]\",:\\/-+.0123456789eEtrufalsn \t\r\nu\x01\xC3\xA9";
  std::mt19937 random(12345);
  for (int round = 0; round < 20000; ++round) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = random() % text.size();
      switch (random() % 3) {
        case 0:
          text.erase(at, 1);
          break;
        case 1:
          text.insert(text.begin() + at, alphabet[random() % alphabet.size()]);
          break;
        default:
          text[at] = alphabet[random() % alphabet.size()];
          break;
      }
    }
    EXPECT_NO_THROW(ParseJSON(text)) << testing::PrintToString(text);
  }
}

struct DecodeCase {
  std::string literal;  // a JSON string token
  std::string decoded;  // its UTF-8 text
};

TEST(JsonParse, DecodesStrings) {
  const std::vector<DecodeCase> cases = {
      {R"("\/api\/x")", "/api/x"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u00e9\u00E9")", "\xC3\xA9\xC3\xA9"},
      {R"("\u0041\u20AC\uFFFF")", "A\xE2\x82\xAC\xEF\xBF\xBF"},
      {R"("\u0000")", "\0"s},
      {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
      // Lone surrogates keep their three-byte form.
      {R"("\uD83D")", "\xED\xA0\xBD"},
      {R"("\uDE00")", "\xED\xB8\x80"},
      {R"("\uD83Dx")", "\xED\xA0\xBDx"},
      {R"("\uD83D\n")", "\xED\xA0\xBD\n"},
      {R"("\uD83D\u0041")", "\xED\xA0\xBD\x41"},
      {R"("\uD83D\uD83D\uDE00")", "\xED\xA0\xBD\xF0\x9F\x98\x80"},
      {R"("\uDE00\uD83D")", "\xED\xB8\x80\xED\xA0\xBD"},
      // Raw characters, control characters included, stay as they are.
      {"\"a\x01\x1F\x7F\tb\"", "a\x01\x1F\x7F\tb"},
      {"\"\xC3\xA7\xF0\x9F\x98\x80\"", "\xC3\xA7\xF0\x9F\x98\x80"},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.literal);
    const auto value = ParseJSON(c.literal);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->Kind(), JsonKind::String);
    EXPECT_EQ(value->Text(), c.decoded);
  }
}

TEST(JsonParse, BuildsTreeInTextOrder) {
  const auto value =
      ParseJSON(R"({"id":"a","x":[1.50,-0,2E3,true,false,null,{},[]],"id":"b","\u0069d":"c"})");
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(value->Kind(), JsonKind::Object);
  const auto& members = value->Members();
  ASSERT_EQ(members.size(), 4u);
  EXPECT_EQ(members[0].Name(), "id");
  EXPECT_EQ(members[0].Value().Text(), "a");
  EXPECT_EQ(members[2].Name(), "id");
  EXPECT_EQ(members[2].Value().Text(), "b");
  EXPECT_EQ(members[3].Name(), "id");
  EXPECT_EQ(value->Find("id"), &members[0].Value());
  EXPECT_EQ(value->Find("ID"), nullptr);

  const JsonValue* array = value->Find("x");
  ASSERT_NE(array, nullptr);
  ASSERT_EQ(array->Kind(), JsonKind::Array);
  const std::vector<JsonKind> kinds = {JsonKind::Number, JsonKind::Number, JsonKind::Number,
                                       JsonKind::True,   JsonKind::False,  JsonKind::Null,
                                       JsonKind::Object, JsonKind::Array};
  const std::vector<std::string> texts = {"1.50", "-0", "2E3"};
  ASSERT_EQ(array->Elements().size(), kinds.size());
  for (size_t i = 0; i < kinds.size(); ++i) {
    EXPECT_EQ(array->Elements()[i].Kind(), kinds[i]) << i;
    if (i < texts.size()) {
      EXPECT_EQ(array->Elements()[i].Text(), texts[i]);
    }
  }
}

TEST(JsonMemberText, FollowsTheValueKind) {
  const auto object =
      ParseJSON(R"({"s":"text","n":17,"f150":1.50,"e":2E3,"neg":-3e2,"z":-0,"t":true,"f":false,)"
                R"("nul":null,"o":{"a":1},"arr":[1],"empty":"","id":"a","id":"b",)"
                R"("body":"{\"a\":1}","bodyobj":{"a":1},"path":"\/api\/x","sp ":"x","":"noname"})");
  ASSERT_NE(object, nullptr);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"s", "text"},   {"n", "17"},           {"f150", "1.50"}, {"e", "2E3"},       {"neg", "-3e2"},
      {"z", "-0"},     {"t", "true"},         {"f", "false"},   {"nul", ""},        {"o", ""},
      {"arr", ""},     {"empty", ""},         {"id", "a"},      {"ID", ""},         {"Id", ""},
      {"missing", ""}, {"body", "{\"a\":1}"}, {"bodyobj", ""},  {"path", "/api/x"}, {"sp", ""},
      {"sp ", "x"},    {"", "noname"},
  };
  for (const auto& [name, text] : cases) {
    EXPECT_EQ(TryGetJSONString(*object, name), text) << "member " << name;
  }
}

TEST(JsonMemberText, UpperCaseNameIsAnotherMember) {
  const auto object = ParseJSON(R"({"ID":"x"})");
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(TryGetJSONString(*object, "id"), "");
  EXPECT_EQ(TryGetJSONString(*object, "ID"), "x");
}

TEST(JsonMemberText, ContainersDoNotConvert) {
  const auto value = ParseJSON(R"([{"a":1},[2],"s",3,null])");
  ASSERT_NE(value, nullptr);
  const auto& elements = value->Elements();
  EXPECT_THROW(JSONValueToString(elements[0]), Exception);
  EXPECT_THROW(JSONValueToString(elements[1]), Exception);
  EXPECT_EQ(JSONValueToString(elements[2]), "s");
  EXPECT_EQ(JSONValueToString(elements[3]), "3");
  EXPECT_EQ(JSONValueToString(elements[4]), "");
  // Looking a member up in something that is not an object finds nothing.
  EXPECT_EQ(TryGetJSONString(*value, "a"), "");
}

TEST(JsonWrite, ObjectsHaveTheExactForm) {
  JsonObjectWriter a;
  a.AddString("a", "x/y");
  a.AddString("b", "\xC3\xA9\t");
  EXPECT_EQ(a.ToString(), R"({"a":"x\/y","b":"\u00E9\t"})");

  JsonObjectWriter b;
  b.AddString("c", "");
  b.AddInteger("n", -5);
  EXPECT_EQ(b.ToString(), R"({"c":"","n":-5})");

  EXPECT_EQ(JsonObjectWriter().ToString(), "{}");

  JsonObjectWriter result;
  result.AddString("command_id", "7");
  result.AddInteger("http_status", 200);
  result.AddString("body", R"({"ok":true})");
  result.AddString("error", "");
  EXPECT_EQ(result.ToString(),
            R"({"command_id":"7","http_status":200,"body":"{\"ok\":true}","error":""})");

  JsonObjectWriter names;
  names.AddInteger("a/\xC3\xA7", 0);
  EXPECT_EQ(names.ToString(), R"({"a\/\u00E7":0})");
}

// The result of a relayed command: a large body between short members,
// handed over by the rvalue form without a copy, must read the same.
TEST(JsonWrite, LargeMemberAmongShortOnes) {
  std::string body;
  for (int i = 0; i < 100000; ++i) body += i % 7 == 0 ? "\xC3\xA7/" : "ab";
  JsonObjectWriter result;
  result.AddString("command_id", "7");
  result.AddInteger("http_status", 200);
  result.AddString("body", body);
  result.AddString("error", "Falha");
  const std::string copied = result.ToString();
  const std::string moved = std::move(result).ToString();
  EXPECT_EQ(moved, copied);
  EXPECT_EQ(moved, R"({"command_id":"7","http_status":200,"body":)" + WriteJSONString(body) +
                       R"(,"error":"Falha"})");
}

TEST(JsonWrite, IntegersInPlainDecimal) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {0, "0"},
      {403, "403"},
      {-1, "-1"},
      {std::numeric_limits<int64_t>::max(), "9223372036854775807"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
  };
  for (const auto& [number, text] : cases) {
    JsonObjectWriter writer;
    writer.AddInteger("n", number);
    EXPECT_EQ(writer.ToString(), "{\"n\":" + text + "}");
  }
}

TEST(JsonWrite, EscapesPerUtf16CodeUnit) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"\"\\/", R"("\"\\\/")"},
      {"\0"s, R"("\u0000")"},
      {"\x01\x0B\x0E\x1F", R"("\u0001\u000B\u000E\u001F")"},
      {" ~\x7F", "\" ~\x7F\""},
      {"\xC2\x80", R"("\u0080")"},
      {"\xC3\xA7", R"("\u00E7")"},
      {"\xE0\xA0\x80", R"("\u0800")"},
      {"\xE2\x82\xAC", R"("\u20AC")"},
      {"\xEF\xBB\xBF", R"("\uFEFF")"},
      {"\xEF\xBF\xBF", R"("\uFFFF")"},
      {"\xF0\x9F\x98\x80", R"("\uD83D\uDE00")"},
      {"\xF0\x90\x80\x80", R"("\uD800\uDC00")"},
      {"\xF4\x8F\xBF\xBF", R"("\uDBFF\uDFFF")"},
      // The three-byte form of a lone surrogate, as the reader keeps it.
      {"\xED\xA0\xBD", R"("\uD83D")"},
      {"\xED\xB8\x80", R"("\uDE00")"},
      // Malformed UTF-8: each offending byte counts as U+FFFD.
      {"\xFF", R"("\uFFFD")"},
      {"a\xC3", R"("a\uFFFD")"},
      {"\xE2\x82", R"("\uFFFD\uFFFD")"},
      {"\xF0\x9F\x98", R"("\uFFFD\uFFFD\uFFFD")"},
      {"\xC3(", R"("\uFFFD(")"},
      {"\xC0\xAF", R"("\uFFFD\uFFFD")"},
      {"\xE0\x80\xAF", R"("\uFFFD\uFFFD\uFFFD")"},
      {"\xF4\x90\x80\x80", R"("\uFFFD\uFFFD\uFFFD\uFFFD")"},
      {"\x80z", R"("\uFFFDz")"},
  };
  for (const auto& [text, literal] : cases) {
    EXPECT_EQ(WriteJSONString(text), literal) << testing::PrintToString(text);
    EXPECT_EQ(JSONStringLength(text), literal.size()) << testing::PrintToString(text);
  }
}

TEST(JsonWrite, OutputIsAsciiAndReadsBackUnchanged) {
  std::string every_ascii;
  for (int c = 0; c < 0x80; ++c) every_ascii.push_back(static_cast<char>(c));
  const std::vector<std::string> texts = {
      "",
      every_ascii,
      "Jos\xC3\xA9 da Concei\xC3\xA7\xC3\xA3o",
      "\xE2\x82\xAC \xEF\xBF\xBD \xF0\x9F\x98\x80\xF4\x8F\xBF\xBF",
      "\xED\xA0\xBD"
      "a"
      "\xED\xB8\x80",
      R"({"a":[1,"x\/y"]})",
  };
  for (const std::string& text : texts) {
    const std::string literal = WriteJSONString(text);
    SCOPED_TRACE(literal);
    for (char c : literal) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
    const auto value = ParseJSON(literal);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->Text(), text);
  }
}

TEST(JsonWrite, ArbitraryBytesGiveAsciiThatParses) {
  std::mt19937 random(99);
  for (int round = 0; round < 5000; ++round) {
    std::string bytes(random() % 9, '\0');
    for (char& b : bytes) b = static_cast<char>(0x7F + random() % 0x81);  // mostly non-ASCII
    const std::string literal = WriteJSONString(bytes);
    SCOPED_TRACE(testing::PrintToString(bytes));
    for (char c : literal) ASSERT_LT(static_cast<unsigned char>(c), 0x80);
    ASSERT_EQ(JSONStringLength(bytes), literal.size());
    ASSERT_NE(ParseJSON(literal), nullptr);
  }
}

}  // namespace
}  // namespace tolvenar
