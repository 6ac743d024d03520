// Runs a fuzz target without libFuzzer: feeds it every file named on the command line and
// every file in the directories named there. Used to replay the seed corpus and the inputs
// kept from past findings as an ordinary test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int run_file(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(f)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    std::size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
                if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') {
                    continue;
                }
                failures += run_file(entry.path());
                ++inputs;
            }
        } else if (std::filesystem::exists(arg, ec)) {
            failures += run_file(arg);
            ++inputs;
        }
    }
    // An empty input is always worth one run.
    static const std::uint8_t none[1] = {0};
    LLVMFuzzerTestOneInput(none, 0);
    std::printf("replayed %zu inputs\n", inputs);
    return failures == 0 ? 0 : 1;
}
