// Loading a profiles file of 50 sections from disk, through the real
// platform with the executable's folder moved to a temporary folder.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/config.h"
#include "platform/env.h"

namespace {

class FolderEnv : public tolvenar::EnvWrapper {
 public:
  explicit FolderEnv(std::string dir) : EnvWrapper(tolvenar::Env::Default()), dir_(std::move(dir)) {}
  std::string ExecutableDir() override { return dir_; }

 private:
  std::string dir_;
};

std::string ProfilesFile(int count) {
  std::string file = "; perfis de teste\r\n";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    file += "[Connector_" + n + "]\r\n";
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

void BM_LoadProfiles50(benchmark::State& state) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tc-bench-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(dir);
  const std::string bytes = ProfilesFile(50);
  std::ofstream(dir / "TolvenarConnector.ini", std::ios::binary) << bytes;
  FolderEnv env(dir.string() + "/");
  tolvenar::TTolvenarConnectorConfig config(&env);
  for (auto _ : state) {
    auto profiles = config.LoadProfiles();
    if (profiles.size() != 50) state.SkipWithError("profiles not loaded");
    benchmark::DoNotOptimize(profiles);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_LoadProfiles50)->Unit(benchmark::kMicrosecond);
