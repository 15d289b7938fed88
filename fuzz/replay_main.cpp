// Runs a fuzz target over the files of its committed corpus, for builds
// without libFuzzer: every test build (and every sanitizer build) then
// checks the inputs a fuzz run found once, and a change that breaks one
// fails a test instead of the next fuzz run.
//   replay DIR...   exits 0 when every file passed (a failing check traps)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        fs::directory_iterator it(argv[i], ec);
        if (ec) {
            std::fprintf(stderr, "replay: cannot read %s: %s\n", argv[i], ec.message().c_str());
            return 2;
        }
        for (const auto& entry : it) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::fprintf(stderr, "replay: %s\n", entry.path().filename().c_str());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++count;
        }
    }
    std::printf("replay: %zu input(s) passed\n", count);
    return count > 0 ? 0 : 2;
}
