// Runs fuzz-target inputs without libFuzzer, for builds whose compiler has no
// fuzzer (the g++ configurations): every file named, and every file inside a
// directory named, goes once through the target. An input that ends in a
// sanitizer report or an unhandled exit ends the run with it; handled inputs
// (the system's own failure exits) go on to the next file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int replay_file(const std::filesystem::path& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // An exactly sized block, as libFuzzer hands its inputs over.
    uint8_t* data = new uint8_t[bytes.size() ? bytes.size() : 1];
    std::copy(bytes.begin(), bytes.end(), data);
    LLVMFuzzerTestOneInput(data, bytes.size());
    delete[] data;
    return 0;
}

int main(int argc, char** argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::directory_iterator(p))
                if (e.is_regular_file())
                    files.push_back(e.path());
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(p);
        }
        for (const auto& f : files) {
            if (replay_file(f))
                return 1;
            inputs++;
        }
    }
    fflush(stdout);
    fprintf(stderr, "replayed %d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
