// Loading a profiles file from disk, through the real platform with the
// executable's folder moved to a temporary folder: 50 working sections, and
// 16 000 short inactive ones (about 0.6 MB), whose cost shows whether
// loading stays linear in the number of sections.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/config.h"
#include "env/env.h"

namespace {

class FolderEnv : public tolvenar::EnvWrapper {
 public:
  explicit FolderEnv(std::string dir) : EnvWrapper(tolvenar::Env::Default()), dir_(std::move(dir)) {}
  std::string ExecutableDir() override { return dir_; }

 private:
  std::string dir_;
};

std::string ProfilesFile(int count, bool inactive = false) {
  std::string file = "; perfis de teste\r\n";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    file += "[Connector_" + n + "]\r\n";
    if (inactive) {
      file += "Ativo=0\r\nCNPJ=" + n + "\r\n";
      continue;
    }
    file += "Servidor=https://conexao.example.com/loja" + n + "/\r\n";
    file += "CNPJ=12.345.678/0001-" + std::to_string(10 + i % 90) + "\r\n";
    file += "APILocal=http://127.0.0.1:" + std::to_string(3001 + i) + "\r\n";
    file += "IntervaloConsultaMS=3000\r\n";
    file += "ConnectorID=conn-" + n + "\r\n";
    file += "ConnectorSecretEnc=" + std::string(312, 'Q') + "==\r\n";
    file += "CodigoVinculacao=\r\n\r\n";
  }
  return file;
}

void LoadProfiles(benchmark::State& state, int sections, bool inactive) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tc-bench-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(dir);
  const std::string bytes = ProfilesFile(sections, inactive);
  std::ofstream(dir / "TolvenarConnector.ini", std::ios::binary) << bytes;
  FolderEnv env(dir.string() + "/");
  tolvenar::TTolvenarConnectorConfig config(&env);
  const size_t expected = inactive ? 0 : static_cast<size_t>(sections);
  for (auto _ : state) {
    auto profiles = config.LoadProfiles();
    if (profiles.size() != expected) state.SkipWithError("profiles not loaded");
    benchmark::DoNotOptimize(profiles);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  std::filesystem::remove_all(dir);
}

void BM_LoadProfiles50(benchmark::State& state) { LoadProfiles(state, 50, false); }
void BM_LoadProfiles16000Inactive(benchmark::State& state) { LoadProfiles(state, 16000, true); }

}  // namespace

BENCHMARK(BM_LoadProfiles50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadProfiles16000Inactive)->Unit(benchmark::kMillisecond);
