// Throughput of the packer and unpacker next to zlib level 1, LZ4 and zstd
// level 1 on the same buffers, with memcpy as the limit.
//
//   pack_bench [MiB [CORPUS [CODEC]]]
//                              table for the corpora billing, dense, text
//                              and random (default 16 MiB each), or only
//                              the ones named
//   pack_bench --files MiB DIR pack then unpack a generated file of that size
//                              through PackFile and UnPackFile, and check it
//   pack_bench --write CORPUS MiB FILE
//                              write MiB of the billing or dense corpus to
//                              FILE, for whole-process runs (see
//                              whole_process.sh beside this file)
//   pack_bench --check [MiB]   what the unpacking's check of the code read
//                              costs, by samples and of every block, against
//                              an unpacking without it, in turns

#include <lz4.h>
#include <zlib.h>
#include <zstd.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Corpora.h"
#include "pack/PackFiles.h"

namespace {

using namespace xmodemquarvel::pack;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct Codec {
  const char* name;
  // Each returns the size of its output, written into `out` (large enough).
  std::function<std::size_t(const Bytes& in, Bytes& out)> compress;
  std::function<std::size_t(const Bytes& in, std::size_t inSize, Bytes& out)> decompress;
};

// Best time of several runs, at least half a second of work in total. The
// time is the thread's CPU time, so that other processes on the machine
// disturb the figures less; the best run is the least disturbed one.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <typename F>
double BestSeconds(F&& f) {
  double best = 1e9;
  double total = 0;
  for (int run = 0; run < 5 || total < 0.5; ++run) {
    const double t0 = ThreadSeconds();
    f();
    const double s = ThreadSeconds() - t0;
    best = std::min(best, s);
    total += s;
  }
  return best;
}

std::vector<Codec> Codecs() {
  std::vector<Codec> codecs;
  codecs.push_back({"memcpy",
                    [](const Bytes& in, Bytes& out) {
                      std::memcpy(out.data(), in.data(), in.size());
                      return in.size();
                    },
                    [](const Bytes& in, std::size_t n, Bytes& out) {
                      std::memcpy(out.data(), in.data(), n);
                      return n;
                    }});
  codecs.push_back({"pack",
                    [](const Bytes& in, Bytes& out) {
                      PackBuffer(in, out);
                      return out.size();
                    },
                    [](const Bytes& in, std::size_t n, Bytes& out) {
                      UnpackBuffer({in.data(), n}, out);
                      return out.size();
                    }});
  codecs.push_back({"zlib-1",
                    [](const Bytes& in, Bytes& out) {
                      uLongf n = out.size();
                      if (compress2(out.data(), &n, in.data(), in.size(), 1) != Z_OK) std::abort();
                      return static_cast<std::size_t>(n);
                    },
                    [](const Bytes& in, std::size_t n, Bytes& out) {
                      uLongf m = out.size();
                      if (uncompress(out.data(), &m, in.data(), n) != Z_OK) std::abort();
                      return static_cast<std::size_t>(m);
                    }});
  codecs.push_back({"lz4",
                    [](const Bytes& in, Bytes& out) {
                      const int n = LZ4_compress_default(reinterpret_cast<const char*>(in.data()),
                                                         reinterpret_cast<char*>(out.data()),
                                                         static_cast<int>(in.size()),
                                                         static_cast<int>(out.size()));
                      if (n <= 0) std::abort();
                      return static_cast<std::size_t>(n);
                    },
                    [](const Bytes& in, std::size_t n, Bytes& out) {
                      const int m =
                          LZ4_decompress_safe(reinterpret_cast<const char*>(in.data()),
                                              reinterpret_cast<char*>(out.data()),
                                              static_cast<int>(n), static_cast<int>(out.size()));
                      if (m < 0) std::abort();
                      return static_cast<std::size_t>(m);
                    }});
  auto cctx = std::shared_ptr<ZSTD_CCtx>(ZSTD_createCCtx(), ZSTD_freeCCtx);
  auto dctx = std::shared_ptr<ZSTD_DCtx>(ZSTD_createDCtx(), ZSTD_freeDCtx);
  codecs.push_back({"zstd-1",
                    [cctx](const Bytes& in, Bytes& out) {
                      const std::size_t n = ZSTD_compressCCtx(cctx.get(), out.data(), out.size(),
                                                              in.data(), in.size(), 1);
                      if (ZSTD_isError(n)) std::abort();
                      return n;
                    },
                    [dctx](const Bytes& in, std::size_t n, Bytes& out) {
                      const std::size_t m =
                          ZSTD_decompressDCtx(dctx.get(), out.data(), out.size(), in.data(), n);
                      if (ZSTD_isError(m)) std::abort();
                      return m;
                    }});
  return codecs;
}

struct Result {
  double packMBs = 0, unpackMBs = 0, ratio = 0;
};

Result Measure(const Codec& codec, const Bytes& input) {
  const std::size_t room = input.size() * 2 + (1 << 20);
  Bytes packed(room), unpacked(room);
  std::size_t packedSize = 0, unpackedSize = 0;
  const bool grows = std::strcmp(codec.name, "pack") == 0;  // fills its vectors itself
  const double tp = BestSeconds([&] { packedSize = codec.compress(input, packed); });
  if (!grows) packed.resize(packedSize);
  Bytes packedCopy(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(packedSize));
  if (!grows) unpacked.resize(room);
  const double tu =
      BestSeconds([&] { unpackedSize = codec.decompress(packedCopy, packedSize, unpacked); });
  if (unpackedSize < input.size() ||
      std::memcmp(unpacked.data(), input.data(), input.size()) != 0) {
    std::fprintf(stderr, "%s: round trip differs\n", codec.name);
    std::exit(1);
  }
  const double mb = static_cast<double>(input.size()) / 1e6;
  return {mb / tp, mb / tu, static_cast<double>(input.size()) / static_cast<double>(packedSize)};
}

int Table(std::size_t mib, const char* onlyCorpus, const char* onlyCodec) {
  struct Corpus {
    const char* name;
    Bytes bytes;
  };
  const std::size_t size = mib << 20;
  std::vector<Corpus> corpora;
  auto wanted = [onlyCorpus](const char* name) {
    return onlyCorpus == nullptr || std::strcmp(onlyCorpus, name) == 0;
  };
  if (wanted("billing")) corpora.push_back({"billing", bench::BillingCorpus(size)});
  if (wanted("dense")) corpora.push_back({"dense", bench::DenseBillingCorpus(size)});
  if (wanted("text")) corpora.push_back({"text", bench::TextCorpus(size)});
  if (wanted("random")) corpora.push_back({"random", bench::RandomCorpus(size)});
  const auto codecs = Codecs();
  std::printf("%-8s %-7s %12s %12s %8s\n", "corpus", "codec", "pack MB/s", "unpack MB/s", "ratio");
  int status = 0;
  for (const auto& corpus : corpora) {
    std::vector<std::pair<const char*, Result>> results;
    for (const auto& codec : codecs) {
      if (onlyCodec && std::strcmp(onlyCodec, codec.name) != 0) continue;
      const Result r = Measure(codec, corpus.bytes);
      std::printf("%-8s %-7s %12.0f %12.0f %8.2f\n", corpus.name, codec.name, r.packMBs,
                  r.unpackMBs, r.ratio);
      results.emplace_back(codec.name, r);
    }
    if (onlyCodec) continue;
    // Speed of the format against each general-purpose codec, same run.
    const auto find = [&](const char* name) {
      for (const auto& [n, r] : results) {
        if (std::strcmp(n, name) == 0) return r;
      }
      return Result{};
    };
    const Result pack = find("pack");
    for (const char* other : {"lz4", "zstd-1", "zlib-1"}) {
      const Result r = find(other);
      std::printf("%-8s pack/%s: packing %.2fx, unpacking %.2fx\n", corpus.name, other,
                  pack.packMBs / r.packMBs, pack.unpackMBs / r.unpackMBs);
    }
    std::printf("\n");
    if (std::strcmp(corpus.name, "billing") == 0) {
      const Result lz4 = find("lz4");
      const bool ok = pack.packMBs >= lz4.packMBs && pack.unpackMBs >= 0.5 * lz4.unpackMBs;
      std::printf("billing targets (packing >= 1.00x, unpacking >= 0.50x of lz4): %s\n\n",
                  ok ? "met" : "NOT met");
      if (!ok) status = 2;
    }
  }
  return status;
}

// Unpacks each corpus without the check of the code read, with the check by
// samples (what xmodemq unpack does) and with the check of every block (its
// --verify), in turns so that the machine's load hits all three alike, and
// prints the median times and what each check adds.
int CheckCost(std::size_t mib) {
  const std::size_t size = mib << 20;
  const RecodeCheck kinds[] = {RecodeCheck::kNone, RecodeCheck::kSampled, RecodeCheck::kEveryBlock};
  std::printf("%-8s %12s %12s %12s %9s %9s\n", "corpus", "none MB/s", "sampled MB/s", "every MB/s",
              "sampled", "every");
  for (const char* name : {"billing", "dense"}) {
    const Bytes source = std::strcmp(name, "billing") == 0 ? bench::BillingCorpus(size)
                                                           : bench::DenseBillingCorpus(size);
    Bytes packed, out;
    PackBuffer(source, packed);
    std::vector<double> times[3];
    for (int round = 0; round < 15; ++round) {
      for (int k = 0; k < 3; ++k) {
        UnpackCheck check{kinds[k]};
        const double t0 = ThreadSeconds();
        UnpackBuffer(packed, out, &check);
        times[k].push_back(ThreadSeconds() - t0);
        if (check.firstDiffering != 0) {
          std::fprintf(stderr, "%s: the check finds block %lld differing\n", name,
                       static_cast<long long>(check.firstDiffering));
          return 1;
        }
      }
    }
    double median[3];
    for (int k = 0; k < 3; ++k) {
      std::sort(times[k].begin(), times[k].end());
      median[k] = times[k][times[k].size() / 2];
    }
    const double mb = static_cast<double>(size) / 1e6;
    std::printf("%-8s %12.0f %12.0f %12.0f %+8.1f%% %+8.1f%%\n", name, mb / median[0],
                mb / median[1], mb / median[2], 100 * (median[1] / median[0] - 1),
                100 * (median[2] / median[0] - 1));
  }
  return 0;
}

// Writes `mib` MiB of one billing corpus to `path`, piece by piece, for
// whole-process runs of the command and of other tools.
int Write(const std::string& corpus, std::size_t mib, const std::string& path) {
  constexpr std::size_t kPiece = 1 << 20;
  std::vector<std::uint8_t> piece(kPiece);
  bench::BillingRecords billing(1);
  bench::DenseBillingRecords dense(1);
  if (corpus != "billing" && corpus != "dense") {
    return std::fprintf(stderr, "corpus for --write: billing or dense\n"), 1;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (std::size_t i = 0; i < mib && out; ++i) {
    if (corpus == "billing") {
      billing.Fill(piece);
    } else {
      dense.Fill(piece);
    }
    out.write(reinterpret_cast<const char*>(piece.data()), kPiece);
  }
  out.close();
  if (!out) return std::fprintf(stderr, "cannot write %s\n", path.c_str()), 1;
  return 0;
}

// Writes `mib` MiB of billing records, packs and unpacks them through the
// file functions, and compares the result with the source, all in pieces.
int Files(std::size_t mib, const std::string& dir) {
  const std::string source = dir + "/bench-source";
  const std::string packed = dir + "/bench-packed";
  const std::string unpacked = dir + "/bench-unpacked";
  constexpr std::size_t kPiece = 1 << 20;
  std::vector<std::uint8_t> piece(kPiece), other(kPiece);
  {
    std::ofstream out(source, std::ios::binary | std::ios::trunc);
    bench::BillingRecords records(1);
    for (std::size_t i = 0; i < mib; ++i) {
      records.Fill(piece);
      out.write(reinterpret_cast<const char*>(piece.data()), kPiece);
    }
    if (!out) return std::fprintf(stderr, "cannot write %s\n", source.c_str()), 1;
  }
  int32_t count = 0;
  const double mb = static_cast<double>(mib << 20) / 1e6;
  auto t0 = Clock::now();
  PackFile(source, packed, count, {});
  const double tp = std::chrono::duration<double>(Clock::now() - t0).count();
  t0 = Clock::now();
  UnPackFile(packed, unpacked, count, {});
  const double tu = std::chrono::duration<double>(Clock::now() - t0).count();
  std::ifstream a(source, std::ios::binary), b(unpacked, std::ios::binary);
  std::size_t total = 0;
  while (true) {
    a.read(reinterpret_cast<char*>(piece.data()), kPiece);
    b.read(reinterpret_cast<char*>(other.data()), kPiece);
    if (a.gcount() != b.gcount() ||
        std::memcmp(piece.data(), other.data(), static_cast<std::size_t>(a.gcount())) != 0) {
      std::fprintf(stderr, "unpacked file differs near byte %zu\n", total);
      return 1;
    }
    total += static_cast<std::size_t>(a.gcount());
    if (a.gcount() == 0) break;
  }
  std::ifstream p(packed, std::ios::binary | std::ios::ate);
  const auto packedSize = static_cast<double>(p.tellg());
  std::printf(
      "files: %zu MiB, packed %.0f bytes (ratio %.2f), PackFile %.0f MB/s, UnPackFile "
      "%.0f MB/s, identical\n",
      mib, packedSize, static_cast<double>(mib << 20) / packedSize, mb / tp, mb / tu);
  std::remove(source.c_str());
  std::remove(packed.c_str());
  std::remove(unpacked.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "--write") == 0) {
    return Write(argv[2], std::strtoull(argv[3], nullptr, 10), argv[4]);
  }
  if (argc >= 4 && std::strcmp(argv[1], "--files") == 0) {
    return Files(std::strtoull(argv[2], nullptr, 10), argv[3]);
  }
  if (argc >= 2 && std::strcmp(argv[1], "--check") == 0) {
    const std::size_t mib = argc >= 3 ? std::strtoull(argv[2], nullptr, 10) : 16;
    return CheckCost(mib == 0 ? 16 : mib);
  }
  const std::size_t mib = argc >= 2 ? std::strtoull(argv[1], nullptr, 10) : 16;
  return Table(mib == 0 ? 16 : mib, argc >= 3 ? argv[2] : nullptr, argc >= 4 ? argv[3] : nullptr);
}
