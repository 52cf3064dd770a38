// Stand-alone driver for the fuzz targets (used with every compiler; clang builds also get a
// libFuzzer build of each target, see CMakeLists.txt).
//
//   <target> [file|directory ...]
//
// Files are run once each and nothing else happens (to reproduce a finding). Directories are seed
// corpora: every seed is run, then a few 1 MiB inputs, then a deterministic mutation loop (bit and
// byte flips, inserts, deletions, duplications, splices of seeds, fresh random inputs up to 64 KiB)
// until TESSIVAR_FUZZ_ITERATIONS inputs (default 50000) or TESSIVAR_FUZZ_SECONDS seconds (default
// 20) are reached; TESSIVAR_FUZZ_SEED (default 1) picks the sequence. When an input crashes the
// target, it is saved as "crash-<target>-<n>" in the working directory and its path printed.
// Single-threaded.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)());

namespace {

using TBytes = std::vector<uint8_t>;

constexpr size_t MaxMutantSize = 64 * 1024;
constexpr size_t LargeSize = 1024 * 1024;
constexpr size_t MaxPool = 256;

// The input being run, for the crash handlers.
const uint8_t* g_CurrentData = nullptr;
size_t g_CurrentSize = 0;
char g_CrashPath[512] = "";
uint64_t g_RunCount = 0;

void SaveCurrentInput() {
    if (g_CurrentData == nullptr || g_CrashPath[0] == '\0') {
        return;
    }
    const int fd = ::open(g_CrashPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    size_t written = 0;
    while (written < g_CurrentSize) {
        const ssize_t count = ::write(fd, g_CurrentData + written, g_CurrentSize - written);
        if (count <= 0) {
            break;
        }
        written += static_cast<size_t>(count);
    }
    ::close(fd);
    static const char note[] = "\nfuzz driver: input saved as ";
    [[maybe_unused]] ssize_t ignored = ::write(2, note, sizeof note - 1);
    ignored = ::write(2, g_CrashPath, std::strlen(g_CrashPath));
    ignored = ::write(2, "\n", 1);
}

void OnFatalSignal(int signal) {
    SaveCurrentInput();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Runs one input from a heap copy of exactly its size, so that reading past the end is caught.
void Run(const TBytes& input) {
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[input.empty() ? 1 : input.size()]);
    std::copy(input.begin(), input.end(), copy.get());
    g_CurrentData = copy.get();
    g_CurrentSize = input.size();
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : copy.get(), input.size());
    g_CurrentData = nullptr;
    ++g_RunCount;
}

TBytes ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return TBytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

class TMutator {
public:
    explicit TMutator(uint64_t seed) : m_Random(seed) {}

    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(m_Random() % n); }
    bool OneIn(size_t n) { return Below(n) == 0; }

    uint8_t Byte() {
        // Characters that mean something to text parsers come up more often than others.
        static const char special[] = "0123456789+-.:,;T Z\t\r\n\"'<>=&%\\/@";
        switch (Below(4)) {
        case 0:
            return static_cast<uint8_t>(special[Below(sizeof special - 1)]);
        case 1:
            return static_cast<uint8_t>(OneIn(2) ? 0 : 0xFF);
        default:
            return static_cast<uint8_t>(m_Random());
        }
    }

    TBytes Fresh(size_t size) {
        TBytes bytes(size);
        for (uint8_t& b : bytes) {
            b = Byte();
        }
        return bytes;
    }

    TBytes Mutate(const std::vector<TBytes>& pool) {
        TBytes data = pool.empty() ? TBytes{} : pool[Below(pool.size())];
        const size_t steps = 1 + Below(8);
        for (size_t step = 0; step < steps; ++step) {
            MutateOnce(data, pool);
        }
        if (data.size() > MaxMutantSize) {
            data.resize(MaxMutantSize);
        }
        return data;
    }

private:
    void MutateOnce(TBytes& data, const std::vector<TBytes>& pool) {
        switch (Below(8)) {
        case 0: // flip a bit
            if (!data.empty()) {
                data[Below(data.size())] ^= static_cast<uint8_t>(1u << Below(8));
            }
            break;
        case 1: // replace a byte
            if (!data.empty()) {
                data[Below(data.size())] = Byte();
            }
            break;
        case 2: { // insert bytes
            const TBytes inserted = Fresh(1 + Below(OneIn(8) ? 4096 : 8));
            data.insert(data.begin() + static_cast<ptrdiff_t>(Below(data.size() + 1)), inserted.begin(),
                        inserted.end());
            break;
        }
        case 3: // delete a range
            if (!data.empty()) {
                const size_t at = Below(data.size());
                const size_t count = 1 + Below(std::min<size_t>(data.size() - at, 16));
                data.erase(data.begin() + static_cast<ptrdiff_t>(at),
                           data.begin() + static_cast<ptrdiff_t>(at + count));
            }
            break;
        case 4: // duplicate a range
            if (!data.empty() && data.size() < MaxMutantSize) {
                const size_t at = Below(data.size());
                const size_t count = 1 + Below(std::min<size_t>(data.size() - at, 64));
                const TBytes copy(data.begin() + static_cast<ptrdiff_t>(at),
                                  data.begin() + static_cast<ptrdiff_t>(at + count));
                const size_t repeat = 1 + Below(OneIn(4) ? 256 : 4);
                for (size_t i = 0; i < repeat && data.size() < MaxMutantSize; ++i) {
                    data.insert(data.begin() + static_cast<ptrdiff_t>(Below(data.size() + 1)), copy.begin(),
                                copy.end());
                }
            }
            break;
        case 5: // splice: a prefix of this input and a suffix of another
            if (!pool.empty()) {
                const TBytes& other = pool[Below(pool.size())];
                const size_t keep = Below(data.size() + 1);
                const size_t from = Below(other.size() + 1);
                data.resize(keep);
                data.insert(data.end(), other.begin() + static_cast<ptrdiff_t>(from), other.end());
            }
            break;
        case 6: // copy a piece of another input over this one
            if (!pool.empty() && !data.empty()) {
                const TBytes& other = pool[Below(pool.size())];
                if (!other.empty()) {
                    const size_t from = Below(other.size());
                    const size_t count = 1 + Below(std::min<size_t>(other.size() - from, 32));
                    const size_t at = Below(data.size());
                    for (size_t i = 0; i < count; ++i) {
                        if (at + i < data.size()) {
                            data[at + i] = other[from + i];
                        } else {
                            data.push_back(other[from + i]);
                        }
                    }
                }
            }
            break;
        default: // truncate
            data.resize(Below(data.size() + 1));
            break;
        }
    }

    std::mt19937_64 m_Random;
};

} // namespace

int main(int argc, char** argv) {
    const std::string name = std::filesystem::path(argv[0]).filename().string();
    std::vector<TBytes> seeds;
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path = argv[i];
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            std::vector<std::filesystem::path> entries;
            for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
                if (entry.is_regular_file()) {
                    entries.push_back(entry.path());
                }
            }
            std::sort(entries.begin(), entries.end());
            for (const auto& entry : entries) {
                seeds.push_back(ReadFile(entry));
            }
        } else if (std::filesystem::is_regular_file(path, error)) {
            files.push_back(path);
        } else {
            std::fprintf(stderr, "%s: no such file or directory: %s\n", name.c_str(), argv[i]);
            return 2;
        }
    }

    std::snprintf(g_CrashPath, sizeof g_CrashPath, "crash-%s-%d", name.c_str(), static_cast<int>(::getpid()));
    if (__sanitizer_set_death_callback != nullptr) {
        __sanitizer_set_death_callback(SaveCurrentInput);
    }
    for (const int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        std::signal(signal, OnFatalSignal);
    }

    if (!files.empty()) {
        for (const auto& file : files) {
            std::printf("%s: running %s\n", name.c_str(), file.c_str());
            Run(ReadFile(file));
        }
        std::printf("%s: %zu inputs ran without failure\n", name.c_str(), files.size());
        return 0;
    }

    const uint64_t iterations = EnvNumber("TESSIVAR_FUZZ_ITERATIONS", 50000);
    const auto budget = std::chrono::seconds(EnvNumber("TESSIVAR_FUZZ_SECONDS", 20));
    const auto start = std::chrono::steady_clock::now();
    TMutator mutator(EnvNumber("TESSIVAR_FUZZ_SEED", 1));

    Run(TBytes{});
    for (const TBytes& seed : seeds) {
        Run(seed);
    }
    // Large inputs: random bytes, a seed repeated, and long runs of single characters.
    Run(mutator.Fresh(LargeSize));
    if (!seeds.empty()) {
        TBytes repeated;
        const TBytes& seed = seeds[mutator.Below(seeds.size())];
        while (!seed.empty() && repeated.size() < LargeSize) {
            repeated.insert(repeated.end(), seed.begin(), seed.end());
        }
        Run(repeated);
    }
    for (const uint8_t fill : {uint8_t('9'), uint8_t(','), uint8_t(' '), uint8_t(0)}) {
        Run(TBytes(LargeSize, fill));
    }

    std::vector<TBytes> pool = seeds;
    while (g_RunCount < iterations && std::chrono::steady_clock::now() - start < budget) {
        TBytes input = mutator.OneIn(16) ? mutator.Fresh(mutator.Below(MaxMutantSize + 1)) : mutator.Mutate(pool);
        Run(input);
        // Keep some mutants as starting points, so that mutations can pile up; seeds always stay.
        if (mutator.OneIn(8)) {
            if (pool.size() < MaxPool) {
                pool.push_back(std::move(input));
            } else if (seeds.size() < MaxPool) {
                pool[seeds.size() + mutator.Below(MaxPool - seeds.size())] = std::move(input);
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %llu inputs (%zu seeds) ran without failure in %.1f s\n", name.c_str(),
                static_cast<unsigned long long>(g_RunCount), seeds.size(), seconds);
    return 0;
}
