// Runs the fuzz driver over saved inputs without libFuzzer: each argument
// is an input file or a folder of them. The corpus replay test, and the way
// to rerun one input found by the fuzzer in any build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::is_directory(argv[i])) inputs.emplace_back(argv[i]);
        else
            for (const auto& e : std::filesystem::directory_iterator(argv[i])) inputs.push_back(e.path());
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& p : inputs) {
        std::ifstream f(p, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (!f.is_open()) {
            std::fprintf(stderr, "cannot read %s\n", p.string().c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("replayed %u inputs\n", static_cast<unsigned>(inputs.size()));
    return inputs.empty() ? 1 : 0;
}
