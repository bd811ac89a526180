// Pedestal files written at test time by the real Python gzip and pickle modules, and small helpers
// to build gzip members by hand.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pedestal_fixtures {

using Bytes = std::vector<std::uint8_t>;

// Every fixture is "<name>.pkl" (the bare pickle) and "<name>.gz" (gzip.compress of it, mtime 0).
// A fixture that the pickler cannot write for some protocol is simply absent.
inline constexpr const char* kScript = R"PY(
import array, collections, gzip, os, pickle, random, struct, sys
out = sys.argv[1]

def w(name, raw):
    with open(os.path.join(out, name), 'wb') as f:
        f.write(raw)

def fx(name, obj, p, after_stop=b''):
    raw = pickle.dumps(obj, protocol=p)
    w(name + '.pkl', raw)
    w(name + '.gz', gzip.compress(raw + after_stop, mtime=0))

basic = [[[1.5, 2.0]]]
rng = random.Random(1)
rand = [[[rng.choice([rng.uniform(-3000, 3000), rng.randint(-5000, 5000)]) for s in range(8)]
         for win in range(16)] for ch in range(4)]
w('rand.f32', b''.join(struct.pack('<f', float(v)) for c in rand for win in c for v in win))
cyc = []
cyc.append(cyc)
row = [1.0, 2.0]
for p in range(6):
    fx(f'dict_{p}', {'data': basic, 'note': 'ignored', 'big': 10**30, 'cyc': cyc}, p)
    fx(f'list_{p}', [basic, 'more'], p)
    fx(f'tuple_{p}', (basic, None), p)
    fx(f'tables_as_tuples_{p}', {'data': (((1.0, 2), (3.5,)), ((), [0.25]))}, p)
    fx(f'ints_{p}', {'data': [[[3, -7, 2**60 + 2**36 + 1, -2**63, 2**63 - 1, 0, 255, 65535, -1, 2**31]]]}, p)
    fx(f'specials_{p}', {'data': [[[float('inf'), float('-inf'), 1e-310, 1e300, -0.0, 0.1]]]}, p)
    fx(f'shared_{p}', {'data': [[row, row], [row]]}, p)
    fx(f'rand_{p}', {'data': rand}, p)
    fx(f'empty_table_{p}', {'data': []}, p)
    fx(f'both_keys_{p}', {b'data': [[[9.0]]], 'data': basic}, p)
    fx(f'bytes_key_{p}', {b'data': basic}, p)
    fx(f'bytes_keys_memo_{p}', {b'x': 1, b'data': basic}, p)
    fx(f'sets_{p}', {'data': basic, 's': {1, 2}, 'f': frozenset([3])}, p)
    fx(f'bytearray_{p}', {'data': basic, 'b': bytearray(b'xy')}, p)
    fx(f'trailing_{p}', {'data': basic}, p, after_stop=b'\x00')
    fx(f'none_{p}', None, p)
    fx(f'true_el_{p}', {'data': [[[1.0, True]]]}, p)
    fx(f'none_el_{p}', {'data': [[[None]]]}, p)
    fx(f'str_el_{p}', {'data': [[['1.0']]]}, p)
    fx(f'bytes_el_{p}', {'data': [[[b'1']]]}, p)
    fx(f'big_el_{p}', {'data': [[[2**63]]]}, p)
    fx(f'negbig_el_{p}', {'data': [[[-2**63 - 1]]]}, p)
    fx(f'no_data_{p}', {'dat': basic}, p)
    fx(f'empty_list_{p}', [], p)
    fx(f'empty_tuple_{p}', (), p)
    fx(f'four_levels_{p}', {'data': [[[[1.0]]]]}, p)
    fx(f'two_levels_{p}', {'data': [[1.0]]}, p)
    fx(f'dict_level_{p}', {'data': [{'a': [1.0]}]}, p)
    fx(f'int_top_{p}', 5, p)
    fx(f'str_top_{p}', 'data', p)
    fx(f'self_table_{p}', {'data': cyc}, p)
    fx(f'array_{p}', {'data': [[array.array('f', [1.0])]]}, p)
    fx(f'ordered_{p}', collections.OrderedDict(data=basic), p)
)PY";

inline Bytes read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

// The fixture directory, written once per test run; empty when python3 is not available.
inline const std::filesystem::path& dir() {
    static const std::filesystem::path d = [] {
        char tmpl[] = "/tmp/brimo_pedestals_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return std::filesystem::path();
        std::filesystem::path path(tmpl);
        {
            std::ofstream(path / "make.py") << kScript;
        }
        const std::string cmd = "python3 '" + (path / "make.py").string() + "' '" + path.string() + "' 2>/dev/null";
        if (std::system(cmd.c_str()) != 0 || !std::filesystem::exists(path / "dict_0.gz")) {
            std::filesystem::remove_all(path);
            return std::filesystem::path();
        }
        static struct Cleanup {
            std::filesystem::path p;
            ~Cleanup() { std::error_code ec; std::filesystem::remove_all(p, ec); }
        } cleanup{path};
        return path;
    }();
    return d;
}

inline bool have(const std::string& file) { return !dir().empty() && std::filesystem::exists(dir() / file); }
inline Bytes fixture(const std::string& file) { return read_file(dir() / file); }

#define REQUIRE_PYTHON_FIXTURES()                                                      \
    do {                                                                               \
        if (pedestal_fixtures::dir().empty()) GTEST_SKIP() << "python3 not available"; \
    } while (0)

// A complete gzip member of `content` (zlib's own gzip writer).
inline Bytes gzip_bytes(const Bytes& content, int level = 6) {
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&zs, static_cast<uLong>(content.size())) + 64);
    zs.next_in = const_cast<Bytef*>(content.data());
    zs.avail_in = static_cast<uInt>(content.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

inline void put_le32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace pedestal_fixtures
