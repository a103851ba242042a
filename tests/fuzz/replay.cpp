// The fuzz targets' main where libFuzzer is not linked (the test builds): the
// target makes its seeds with our own writers, then takes each seed, cuts of
// it and byte changes of it, the same inputs on every run. A target that no
// longer builds, or a reader that breaks a target's promise on one of them,
// fails the test run.
//
//   fuzz_<reader>             replays the seeds, their cuts and changes
//   fuzz_<reader> FILE|DIR... runs those inputs once each (a crash the fuzzer
//                             kept, run without it)
//
// An input that ends the program is written first to
// crash-fuzz_<reader>-<input> in the working folder, so the libFuzzer build
// can take it too.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

// The input being run, for the death handlers: set before each input, read
// only while the program dies.
const std::vector<uint8_t>* current = nullptr;
char currentName[256] = "";
char crashPath[512] = "";

void Say(const char* text) { [[maybe_unused]] const ssize_t n = ::write(2, text, std::strlen(text)); }

void KeepCurrent() {
  if (current == nullptr) return;
  // Only calls a signal handler may make.
  Say("replay: the input was ");
  Say(currentName);
  if (crashPath[0] != '\0') {
    const int fd = ::open(crashPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      [[maybe_unused]] const ssize_t n = ::write(fd, current->data(), current->size());
      ::close(fd);
      Say(", kept as ");
      Say(crashPath);
    }
  }
  Say("\n");
  current = nullptr;
}

// A target's own check aborts; the sanitizers' reports (and their SIGSEGV
// handling) end the program through the death callback instead.
void OnAbort(int) {
  KeepCurrent();
  std::signal(SIGABRT, SIG_DFL);
  std::raise(SIGABRT);
}

// A sanitizer ends the program on a report through its runtime's death
// callback. GCC links each sanitizer's runtime as a library of its own (ASan
// and UBSan each with their own callback), so every loaded object that has
// one gets ours; clang's single static runtime is the program itself.
void OnEveryDeath() {
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void*) {
        const bool self = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
        void* object = dlopen(self ? nullptr : info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD);
        if (object == nullptr) return 0;
        using SetDeathCallback = void (*)(void (*)());
        if (auto set = reinterpret_cast<SetDeathCallback>(dlsym(object, "__sanitizer_set_death_callback")))
          set(KeepCurrent);
        dlclose(object);
        return 0;
      },
      nullptr);
}

uint64_t Next(uint64_t& state) {  // splitmix64
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t NameHash(const std::string& name) {  // FNV-1a: the same changes for a seed on every run
  uint64_t h = 0xCBF29CE484222325ull;
  for (const unsigned char c : name) h = (h ^ c) * 0x100000001B3ull;
  return h;
}

// Values that meet range checks at their edges, for bytes and for the low
// byte of counts and sizes.
constexpr uint8_t kEdgeBytes[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0xFE};

// A seed's variants, up to a count: itself, then byte changes and cuts in
// turn. A change sets 1 to 4 bytes to an edge value, a flipped bit or any
// value, or a run of 4 bytes (a whole word) to all ones; the cuts end it at
// its last byte, half, 16 bytes, three quarters, a quarter, 4 bytes and 1.
// A smaller count takes the first ones of the same list.
constexpr size_t kVariantsMost = 16;
// Inputs a target runs at most, about: a target with many seeds takes fewer
// variants of each (no fewer than 3), so that no replay takes more than
// seconds (a synth input is a whole synth file loaded).
constexpr size_t kInputBudget = 100;
constexpr size_t kVariantsLeast = 3;

struct Variant {
  std::string name;
  std::vector<uint8_t> bytes;
};

std::vector<Variant> VariantsOf(const std::string& name, const std::vector<uint8_t>& seed, size_t count) {
  std::vector<Variant> out;
  out.push_back({name, seed});
  const size_t n = seed.size();
  std::vector<size_t> cuts;
  for (const size_t cut : {n - 1, n / 2, size_t{16}, n * 3 / 4, n / 4, size_t{4}, size_t{1}})
    if (n > 0 && cut < n && std::find(cuts.begin(), cuts.end(), cut) == cuts.end()) cuts.push_back(cut);
  uint64_t state = NameHash(name);
  for (size_t k = 0; out.size() < count && n > 0 && k < kVariantsMost; ++k) {
    std::vector<uint8_t> bytes = seed;
    const int changes = 1 + static_cast<int>(Next(state) % 4);
    for (int i = 0; i < changes; ++i) {
      const size_t at = Next(state) % n;
      const uint64_t r = Next(state);
      switch (r % 4) {
        case 0: bytes[at] = kEdgeBytes[(r >> 8) % sizeof kEdgeBytes]; break;
        case 1: bytes[at] ^= static_cast<uint8_t>(1u << ((r >> 8) % 8)); break;
        case 2: bytes[at] = static_cast<uint8_t>(r >> 8); break;
        default:
          for (size_t j = at; j < at + 4 && j < n; ++j) bytes[j] = 0xFF;
      }
    }
    out.push_back({name + "-change" + std::to_string(k), std::move(bytes)});
    if (k < cuts.size() && out.size() < count)
      out.push_back({name + "-cut" + std::to_string(cuts[k]), {seed.begin(), seed.begin() + cuts[k]}});
  }
  return out;
}

void Run(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::snprintf(currentName, sizeof currentName, "%s (%zu bytes)", name.c_str(), bytes.size());
  current = &bytes;
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  current = nullptr;
}

std::vector<fs::path> FilesIn(const fs::path& path) {
  std::vector<fs::path> files;
  if (fs::is_directory(path)) {
    for (const auto& entry : fs::directory_iterator(path))
      if (entry.is_regular_file()) files.push_back(entry.path());
  } else {
    files.push_back(path);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = fs::path(argv[0]).filename().string();
  std::signal(SIGABRT, OnAbort);
  OnEveryDeath();

  LLVMFuzzerInitialize(&argc, &argv);
  size_t inputs = 0;
  if (argc > 1) {
    for (int i = 1; i < argc; ++i)
      for (const fs::path& file : FilesIn(argv[i])) {
        Run(file.string(), fuzz::ReadFile(file.string()));
        ++inputs;
      }
    std::printf("%s: %zu inputs\n", program.c_str(), inputs);
    return 0;
  }

  const fs::path seeds = fs::temp_directory_path() / ("tarvelo_fuzz_seeds_" + std::to_string(::getpid()));
  fs::remove_all(seeds);
  fs::create_directories(seeds);
  FuzzSeeds(seeds.string());
  const std::vector<fs::path> files = FilesIn(seeds);
  fuzz::Check(!files.empty(), "the target makes its seeds");
  const size_t perSeed = std::clamp(kInputBudget / files.size(), kVariantsLeast, kVariantsMost);
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();
    for (const Variant& v : VariantsOf(name, fuzz::ReadFile(file.string()), perSeed)) {
      std::snprintf(crashPath, sizeof crashPath, "crash-%s-%s", program.c_str(), v.name.c_str());
      Run(v.name, v.bytes);
      ++inputs;
    }
  }
  fs::remove_all(seeds);
  std::printf("%s: %zu seeds, %zu inputs\n", program.c_str(), files.size(), inputs);
  return 0;
}
