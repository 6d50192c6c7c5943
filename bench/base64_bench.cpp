// The stored secret's Base64: encoding, and the lenient reader on clean and
// on line-wrapped text.
#include <benchmark/benchmark.h>

#include <string>

#include "config/base64.h"

namespace {

std::string Bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  return bytes;
}

void BM_Base64Encode(benchmark::State& state) {
  const std::string bytes = Bytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(tolvenar::Base64Encode(bytes));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Base64DecodeLenient(benchmark::State& state) {
  const std::string text = tolvenar::Base64Encode(Bytes(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(tolvenar::Base64DecodeLenient(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Wrapped at 76 characters with CR LF, as a text editor may leave it.
void BM_Base64DecodeLenientWrapped(benchmark::State& state) {
  const std::string clean = tolvenar::Base64Encode(Bytes(static_cast<size_t>(state.range(0))));
  std::string text;
  for (size_t i = 0; i < clean.size(); i += 76) text += clean.substr(i, 76) + "\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(tolvenar::Base64DecodeLenient(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

}  // namespace

// 256 bytes is about a protected secret's size; 1 MB shows the rate.
BENCHMARK(BM_Base64Encode)->Arg(256)->Arg(1 << 20);
BENCHMARK(BM_Base64DecodeLenient)->Arg(256)->Arg(1 << 20);
BENCHMARK(BM_Base64DecodeLenientWrapped)->Arg(1 << 20);
