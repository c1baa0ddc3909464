// Replays fuzz inputs through a fuzz entry point without libFuzzer, so that
// the seed corpus runs under the sanitizers in the native tree too.
// Arguments: files or folders of inputs.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int replay(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An empty vector has no data(); give the entry point a valid pointer all the same.
    static const uint8_t empty = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &empty : reinterpret_cast<const uint8_t *>(bytes.data()),
                           bytes.size());
    return 1;
}

int main(int argc, char **argv)
{
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto &e : std::filesystem::directory_iterator(p))
                if (e.is_regular_file())
                    count += replay(e.path());
        } else if (std::filesystem::exists(p)) {
            count += replay(p);
        }
    }
    std::printf("%d inputs replayed\n", count);
    return 0;
}
