// Times three gzip decoders on the same file, interleaved, and prints the
// least time of each: zlib's inflate and ISA-L's isal_inflate, both
// streaming into a 1 MB buffer member by member as the tool's reader does,
// and libdeflate's whole-buffer decoder (the whole output in memory, as a
// reader of small whole files such as whitelists could use it).  Each
// decoder's output is checked against zlib's by length and checksum.
//
//   g++ -O2 -std=c++20 bench/inflate_compare.cpp -o inflate_compare -lz -lisal -ldeflate
//   ./inflate_compare FILE.gz [ROUNDS]
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct result {
    uint64_t bytes = 0;
    uint32_t crc = 0;
};

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "inflate_compare: %s failed\n", what);
        std::exit(1);
    }
}

result with_zlib(const std::string &in) {
    std::vector<unsigned char> out(1 << 20);
    z_stream zs{};
    check(inflateInit2(&zs, 15 + 16) == Z_OK, "inflateInit2");
    result r;
    size_t pos = 0;
    while (pos < in.size()) {
        check(inflateReset(&zs) == Z_OK, "inflateReset");
        zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data() + pos));
        zs.avail_in = static_cast<uInt>(in.size() - pos);
        int rc;
        do {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&zs, Z_NO_FLUSH);
            check(rc == Z_OK || rc == Z_STREAM_END, "inflate");
            const size_t got = out.size() - zs.avail_out;
            r.bytes += got;
            r.crc = static_cast<uint32_t>(crc32(r.crc, out.data(), static_cast<uInt>(got)));
        } while (rc != Z_STREAM_END);
        pos = in.size() - zs.avail_in;
    }
    inflateEnd(&zs);
    return r;
}

result with_isal(const std::string &in) {
    std::vector<unsigned char> out(1 << 20);
    inflate_state st;
    isal_inflate_init(&st);
    result r;
    size_t pos = 0;
    while (pos < in.size()) {
        isal_inflate_reset(&st);
        st.crc_flag = ISAL_GZIP;
        st.next_in = reinterpret_cast<uint8_t *>(const_cast<char *>(in.data() + pos));
        st.avail_in = static_cast<uint32_t>(in.size() - pos);
        do {
            st.next_out = out.data();
            st.avail_out = static_cast<uint32_t>(out.size());
            check(isal_inflate(&st) == ISAL_DECOMP_OK, "isal_inflate");
            const size_t got = out.size() - st.avail_out;
            r.bytes += got;
            r.crc = static_cast<uint32_t>(crc32(r.crc, out.data(), static_cast<uInt>(got)));
        } while (st.block_state != ISAL_BLOCK_FINISH);
        pos = in.size() - st.avail_in;
    }
    return r;
}

result with_libdeflate(const std::string &in) {
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    check(d != nullptr, "libdeflate_alloc_decompressor");
    std::vector<unsigned char> out(in.size() * 4 + (1 << 20));
    result r;
    size_t pos = 0, have = 0;
    while (pos < in.size()) {
        size_t used_in = 0, got = 0;
        const libdeflate_result rc = libdeflate_gzip_decompress_ex(d, in.data() + pos, in.size() - pos,
                                                                   out.data() + have, out.size() - have,
                                                                   &used_in, &got);
        if (rc == LIBDEFLATE_INSUFFICIENT_SPACE) {
            out.resize(out.size() * 2);
            continue;
        }
        check(rc == LIBDEFLATE_SUCCESS, "libdeflate_gzip_decompress_ex");
        pos += used_in;
        have += got;
    }
    libdeflate_free_decompressor(d);
    r.bytes = have;
    r.crc = static_cast<uint32_t>(crc32(0, out.data(), static_cast<uInt>(have)));
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: inflate_compare FILE.gz [ROUNDS]\n");
        return 2;
    }
    std::ifstream f(argv[1], std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string in = ss.str();
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    struct method {
        const char *name;
        result (*run)(const std::string &);
        double best = 1e30;
    } methods[] = {{"zlib inflate (streaming)", with_zlib},
                   {"ISA-L isal_inflate (streaming)", with_isal},
                   {"libdeflate (whole buffer)", with_libdeflate}};
    const result want = with_zlib(in);
    for (int r = 0; r < rounds; ++r) {
        for (method &m : methods) {
            const auto t0 = std::chrono::steady_clock::now();
            const result got = m.run(in);
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            check(got.bytes == want.bytes && got.crc == want.crc, m.name);
            m.best = std::min(m.best, s);
        }
    }
    std::printf("%s: %zu bytes gzip, %llu decoded; least of %d rounds\n", argv[1], in.size(),
                static_cast<unsigned long long>(want.bytes), rounds);
    for (const method &m : methods)
        std::printf("  %-32s %8.4f s  %7.0f MB/s decoded\n", m.name, m.best,
                    static_cast<double>(want.bytes) / m.best / 1e6);
    return 0;
}
