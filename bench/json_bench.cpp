// Writing a command result whose body is large: the body is the only member
// that grows, so the writer's cost per byte is what counts. Reading: a command,
// and the largest array the reader accepts.
#include <benchmark/benchmark.h>

#include <string>

#include "json/json.h"

namespace {

constexpr size_t kBodyBytes = 10 * 1024 * 1024;

std::string AsciiBody() {
  const std::string line =
      "{\"id\":17,\"nome\":\"Produto\",\"preco\":\"12.50\",\"url\":\"/p/17\"}\n";
  std::string body;
  while (body.size() < kBodyBytes) body += line;
  body.resize(kBodyBytes);
  return body;
}

// Portuguese text: most characters ASCII, one in six a two-byte letter.
std::string AccentedBody() {
  const std::string word = "informa\xC3\xA7\xC3\xA3o cora\xC3\xA7\xC3\xA3o ";
  std::string body;
  while (body.size() + word.size() <= kBodyBytes) body += word;
  return body;
}

void WriteResult(benchmark::State& state, const std::string& body) {
  for (auto _ : state) {
    tolvenar::JsonObjectWriter writer;
    writer.AddString("command_id", "42");
    writer.AddInteger("http_status", 200);
    writer.AddString("body", body);
    writer.AddString("error", "");
    std::string json = writer.ToString();
    benchmark::DoNotOptimize(json);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_JsonWriteAscii10MB(benchmark::State& state) { WriteResult(state, AsciiBody()); }
void BM_JsonWriteNonAscii10MB(benchmark::State& state) { WriteResult(state, AccentedBody()); }

void BM_JsonParseCommand(benchmark::State& state) {
  const std::string answer =
      "{\"command\":{\"id\":\"42\",\"method\":\"POST\",\"path\":\"\\/api\\/pedidos\","
      "\"body\":\"{\\\"cliente\\\":17,\\\"itens\\\":[1,2,3]}\",\"authorization\":\"Bearer x\","
      "\"session_token\":null}}";
  for (auto _ : state) {
    auto value = tolvenar::ParseJSON(answer);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer.size()));
}

// The densest document the reader still accepts: `[0,0,...]` with as many values as allowed.
void BM_JsonParseArrayAtBound(benchmark::State& state) {
  std::string array = "[0";
  for (size_t i = 2; i < tolvenar::kMaxJsonValues; ++i) array += ",0";
  array += ']';
  for (auto _ : state) {
    auto value = tolvenar::ParseJSON(array);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * array.size()));
}

}  // namespace

BENCHMARK(BM_JsonWriteAscii10MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonWriteNonAscii10MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonParseCommand);
BENCHMARK(BM_JsonParseArrayAtBound)->Unit(benchmark::kMillisecond);
