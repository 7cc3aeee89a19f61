// Reading a checkpoint folder of 200 shards and 100,000 tensors from its
// safetensors headers and index, as a system file's `checkpoint` does.
#include "checkpoint_generator.h"
#include "system_file/safetensors.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr std::uint64_t kShards = 200;
constexpr std::uint64_t kTensors = 100000;

/// The folder, written once for every run and removed at exit.
class GeneratedFolder {
  public:
    GeneratedFolder()
        : folder_(std::filesystem::temp_directory_path() /
                  ("talvex_checkpoint_bench_" + std::to_string(::getpid()))),
          made_(Core::Bench::writeCheckpoint(folder_, kShards, kTensors)) {}
    ~GeneratedFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    GeneratedFolder(const GeneratedFolder&) = delete;
    GeneratedFolder& operator=(const GeneratedFolder&) = delete;
    GeneratedFolder(GeneratedFolder&&) = delete;
    GeneratedFolder& operator=(GeneratedFolder&&) = delete;

    [[nodiscard]] const std::filesystem::path& folder() const { return folder_; }
    [[nodiscard]] const Core::Bench::GeneratedCheckpoint& made() const { return made_; }

  private:
    std::filesystem::path folder_;
    Core::Bench::GeneratedCheckpoint made_;
};

void BM_ReadCheckpoint(benchmark::State& state) {
    static const GeneratedFolder generated;
    for (auto _ : state) {
        const Core::SystemFile::CheckpointResult read =
            Core::SystemFile::readCheckpointWeights(generated.folder());
        if (!read.weights || read.weights->bytes != generated.made().bytes ||
            read.weights->tensors != kTensors || !read.weights->notes.empty()) {
            state.SkipWithError(read.weights ? "the sums are not the generated ones"
                                             : read.error.message.c_str());
            break;
        }
        benchmark::DoNotOptimize(read.weights->bytes);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kTensors));
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(generated.made().jsonBytes));
}

BENCHMARK(BM_ReadCheckpoint)->Unit(benchmark::kMillisecond);

} // namespace
