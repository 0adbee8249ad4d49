// Runs every file of a seed corpus directory through a fuzz target's entry point once: the
// corpus checks in a build without libFuzzer (gcc with sanitizers).
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    DIR *directory = opendir(argv[1]);
    if (directory == nullptr) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    int files = 0;
    while (dirent *entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::ifstream in(std::string(argv[1]) + "/" + name, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++files;
    }
    closedir(directory);
    std::printf("%d corpus files checked\n", files);
    return files > 0 ? 0 : 1;
}
