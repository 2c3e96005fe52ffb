// Makes the benchmark's application data, deterministically from a seed.
//
//   bench_make_apps big DIR SEED
//       DIR/payload.bin: 256 MiB in 64 KiB blocks, each at random one of
//       random bytes (incompressible), text-like lines of words, or zeros.
//   bench_make_apps many DIR SEED
//       5,000 files totalling exactly 64 MiB in nested folders below DIR:
//       sizes spread log-uniformly from 256 bytes to 96 KiB; text-like
//       sources and documents, random "images" and mostly-zero binaries.
//
// The application library that goes first is copied in by bench/run.sh.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// xoshiro256** seeded through splitmix64: the same bytes on every machine.
class generator {
public:
    explicit generator(std::uint64_t seed)
    {
        for (std::uint64_t &word : state_) {
            seed += 0x9e3779b97f4a7c15ULL;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
    }
    std::uint64_t next()
    {
        const std::uint64_t result = rotate(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotate(state_[3], 45);
        return result;
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    std::uint64_t below(std::uint64_t n) { return next() % n; }

private:
    static std::uint64_t rotate(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

// A vocabulary of made-up words; frequent words are picked far more often.
class text_maker {
public:
    explicit text_maker(generator &random) : random_(random)
    {
        static const char *const syllables[] = {"ka", "lo", "mi", "ne", "ru", "sa", "te", "vi", "zo", "an",
                                                "el", "is", "or", "un", "bra", "cle", "dri", "fro", "gle",
                                                "pre", "sta", "tri", "qua", "ion", "ent", "ing", "er", "al"};
        const std::size_t count = sizeof syllables / sizeof syllables[0];
        for (int i = 0; i < 4000; i++) {
            std::string word;
            const int parts = 1 + static_cast<int>(random_.below(3));
            for (int p = 0; p < parts; p++)
                word += syllables[random_.below(count)];
            words_.push_back(word);
        }
    }
    void append(std::string &out, std::size_t length)
    {
        std::size_t line = 0;
        while (out.size() < length) {
            const double u = random_.unit();
            const std::string &word = words_[static_cast<std::size_t>(u * u * u * words_.size())];
            out += word;
            line += word.size() + 1;
            const std::uint64_t r = random_.below(100);
            if (line > 60 + random_.below(30)) {
                out += r < 50 ? ".\n" : "\n";
                line = 0;
            } else if (r < 3) {
                out += " " + std::to_string(random_.below(100000)) + " ";
            } else {
                out += r < 10 ? ", " : " ";
            }
        }
        out.resize(length);
    }

private:
    generator &random_;
    std::vector<std::string> words_;
};

void append_random(generator &random, std::string &out, std::size_t length)
{
    const std::size_t end = out.size() + length;
    while (out.size() < end) {
        const std::uint64_t word = random.next();
        for (int b = 0; b < 8 && out.size() < end; b++)
            out += static_cast<char>(word >> (8 * b));
    }
}

// Mostly zeros with a few short runs of random bytes, like padded binaries.
void append_sparse(generator &random, std::string &out, std::size_t length)
{
    const std::size_t end = out.size() + length;
    while (out.size() < end) {
        const std::size_t zeros = std::min<std::size_t>(end - out.size(), random.below(2048));
        out.append(zeros, '\0');
        append_random(random, out, std::min<std::size_t>(end - out.size(), random.below(64)));
    }
}

void write_file(const std::string &path, const std::string &content)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(content.data(), 1, content.size(), file) != content.size() ||
        std::fclose(file) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

void make_folders(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0777);
    mkdir(path.c_str(), 0777);
}

void make_big(const std::string &directory, std::uint64_t seed)
{
    constexpr std::size_t total = 256u << 20, block = 64u << 10;
    generator random(seed);
    text_maker text(random);
    make_folders(directory);
    std::FILE *file = std::fopen((directory + "/payload.bin").c_str(), "wb");
    if (file == nullptr) {
        std::perror("payload.bin");
        std::exit(1);
    }
    std::string buffer;
    for (std::size_t done = 0; done < total; done += block) {
        buffer.clear();
        switch (random.below(3)) {
        case 0: append_random(random, buffer, block); break;
        case 1: text.append(buffer, block); break;
        default: buffer.assign(block, '\0'); break;
        }
        if (std::fwrite(buffer.data(), 1, block, file) != block) {
            std::perror("payload.bin");
            std::exit(1);
        }
    }
    std::fclose(file);
}

void make_many(const std::string &directory, std::uint64_t seed)
{
    constexpr int count = 5000;
    constexpr std::uint64_t total = 64u << 20;
    generator random(seed);
    text_maker text(random);
    std::vector<double> raw(count);
    double sum = 0;
    for (double &size : raw) {
        size = std::exp(std::log(256.0) + random.unit() * (std::log(96.0 * 1024) - std::log(256.0)));
        sum += size;
    }
    std::vector<std::uint64_t> sizes(count);
    std::uint64_t assigned = 0;
    for (int i = 0; i < count; i++) {
        sizes[i] = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(raw[i] * total / sum));
        assigned += sizes[i];
    }
    // Whatever rounding left over goes to (or comes from) the largest file.
    std::size_t largest = 0;
    for (int i = 1; i < count; i++)
        if (sizes[i] > sizes[largest])
            largest = i;
    sizes[largest] += total - assigned;

    static const char *const top[] = {"lib", "share", "plugins", "data"};
    static const char *const text_kinds[] = {".lua", ".txt", ".json", ".xml", ".py"};
    std::string content;
    for (int i = 0; i < count; i++) {
        std::string folder = directory + "/" + top[random.below(4)];
        const int depth = static_cast<int>(random.below(3));
        folder += "/pkg" + std::to_string(random.below(10));
        for (int d = 0; d < depth; d++)
            folder += "/sub" + std::to_string(random.below(3));
        make_folders(folder);
        content.clear();
        std::string name = folder + "/file_" + std::to_string(i);
        const std::uint64_t kind = random.below(100);
        if (kind < 55) {
            text.append(content, sizes[i]);
            name += text_kinds[random.below(5)];
        } else if (kind < 85) {
            append_random(random, content, sizes[i]);
            name += ".png";
        } else {
            append_sparse(random, content, sizes[i]);
            name += ".bin";
        }
        write_file(name, content);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_make_apps big|many DIR SEED\n");
        return 2;
    }
    const std::string kind = argv[1];
    const std::uint64_t seed = std::strtoull(argv[3], nullptr, 10);
    if (kind == "big")
        make_big(argv[2], seed);
    else if (kind == "many")
        make_many(argv[2], seed);
    else {
        std::fprintf(stderr, "unknown kind %s\n", argv[1]);
        return 2;
    }
    return 0;
}
