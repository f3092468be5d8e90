// A harness of this folder as a plain program, without libFuzzer: runs it once over every
// file named on the command line and every file of every folder named there (in the order of
// their names), as `-runs=0` of libFuzzer does over a corpus. A broken promise or a sanitizer
// stops the run; the exit status is 0 when every input passed, 1 when an input could not be
// read or a folder named holds none.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// Only some harnesses set something up before the first input.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

namespace fs = std::filesystem;

// The inputs `name` stands for: itself when a file, its files when a folder.
bool Collect(const fs::path& name, std::vector<fs::path>& inputs) {
    std::error_code ec;
    if (!fs::is_directory(name, ec)) {
        inputs.push_back(name);
        return true;
    }
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(name, ec))
        if (entry.is_regular_file(ec))
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    inputs.insert(inputs.end(), files.begin(), files.end());
    return !ec && !files.empty();
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    bool complete = true;
    for (int i = 1; i < argc; ++i) {
        if (!Collect(argv[i], inputs)) {
            std::fprintf(stderr, "no inputs in %s\n", argv[i]);
            complete = false;
        }
    }
    std::size_t passed = 0;
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            complete = false;
            continue;
        }
        std::fprintf(stderr, "%s (%zu bytes)\n", input.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ++passed;
    }
    std::printf("%zu inputs passed\n", passed);
    return complete && passed > 0 ? 0 : 1;
}
