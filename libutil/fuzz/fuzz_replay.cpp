// Feeds every file of the corpora named on the command line (directories, or single files) to
// a libFuzzer target's entry point once, without libFuzzer: the fuzz targets' corpora replay as
// ordinary tests with any compiler. A check that fails in the target aborts the program.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path at = argv[i];
        if (std::filesystem::is_directory(at)) {
            for (const auto &entry : std::filesystem::directory_iterator(at))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        } else {
            inputs.push_back(at);
        }
    }
    // A replay of nothing would pass without testing anything.
    if (inputs.empty()) {
        fprintf(stderr, "fuzz replay: no inputs\n");
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const std::filesystem::path &input : inputs) {
        std::ifstream in(input, std::ios::binary);
        if (!in) {
            fprintf(stderr, "fuzz replay: cannot read %s\n", input.c_str());
            return 1;
        }
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    printf("fuzz replay: %zu inputs\n", inputs.size());
    return 0;
}
