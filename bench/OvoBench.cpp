// Stream providers over a pipe against what the pipe allows: line reads
// against a raw read + memchr + decode loop, one long line against many
// short ones through the same reader, and match reads against PCRE2 over
// the same bytes in memory. A writer thread feeds each pipe.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "hub/Hub.h"
#include "ovo/Ovo.h"
#include "platform/Io.h"
#include "platform/Kernel.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace green {
namespace {

class TPipeProvider : public TOvoProvider {
 public:
  explicit TPipeProvider(THandle Fd) : FFd(Fd) {}
  ~TPipeProvider() override { CancelPending(); }
  THandle GetFd() override { return FFd; }

 private:
  THandle FFd;
};

// cp1251 letters, Latin letters and numbers.
constexpr char kCp1251Text[] = "\xCF\xF0\xE8\xE2\xE5\xF2 abc 0123456789 \xEC\xE8\xF0";
// The same in UTF-8, for the match reads.
constexpr char kUtf8Text[] =
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 abc 0123456789 \xD0\xBC\xD0\xB8\xD1\x80";

// Lines of Length bytes with CR LF, cut from Text, Total bytes in all.
std::string MakeLines(size_t Length, size_t Total, const char* Text = kCp1251Text) {
  const std::string text = Text;
  std::string line;
  while (line.size() + 2 < Length) line += text.substr(0, Length - 2 - line.size());
  line += "\r\n";
  std::string out;
  out.reserve(Total);
  while (out.size() + line.size() <= Total) out += line;
  return out;
}

const std::string& Lines60() {
  static const std::string data = MakeLines(60, 64u << 20);
  return data;
}

// Reads Data through the project's pipe, written by a thread with a hub of
// its own, and returns what Consume counted.
template <class TConsume>
size_t OverPipe(const std::string& Data, TConsume Consume) {
  THandle rd = os::kNoHandle, wr = os::kNoHandle;
  if (!os::CreatePipe(rd, wr)) return 0;
  std::thread writer([&] {
    TSingleThreadHub hub;
    TCurrentHubScope scope(&hub);
    RefPtr<TPipeProvider> out(new TPipeProvider(wr));
    out->Write(Data.data(), static_cast<int32_t>(Data.size()));
    out.reset();
    os::CloseHandle(wr);
  });
  size_t n = 0;
  {
    TSingleThreadHub hub;
    TCurrentHubScope scope(&hub);
    RefPtr<TPipeProvider> in(new TPipeProvider(rd));
    n = Consume(*in);
  }
  writer.join();
  os::CloseHandle(rd);
  return n;
}

size_t WalkLines(TOvoProvider& Prov) {
  Prov.SetEncoding(*TEncoding::Cp1251());
  size_t n = 0;
  for (const std::string& s : Prov.ReadLns()) {
    benchmark::DoNotOptimize(s.data());
    n += s.size();
  }
  return n;
}

void BM_ReadLnsPipe(benchmark::State& State) {
  const std::string& data = Lines60();
  size_t n = 0;
  for (auto _ : State) n = OverPipe(data, WalkLines);
  State.counters["text_bytes"] = static_cast<double>(n);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * data.size()));
}
BENCHMARK(BM_ReadLnsPipe)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same bytes through the same reader, cut into lines of Arg bytes.
void BM_ReadLnsLineLength(benchmark::State& State) {
  const std::string data = MakeLines(static_cast<size_t>(State.range(0)), 16u << 20);
  for (auto _ : State) benchmark::DoNotOptimize(OverPipe(data, WalkLines));
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * data.size()));
}
BENCHMARK(BM_ReadLnsLineLength)
    ->Arg(1024)
    ->Arg(4 << 20)
    ->Arg(16 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

size_t WalkNumbers(TOvoProvider& Prov) {
  Prov.SetEncoding(*TEncoding::UTF8());
  size_t n = 0;
  for (const std::string& s : Prov.ReadRegEx(std::string("\\d+"))) {
    benchmark::DoNotOptimize(s.data());
    ++n;
  }
  return n;
}

const std::string& Numbers() {
  static const std::string data = MakeLines(60, 16u << 20, kUtf8Text);
  return data;
}

// The bytes are made before the clock runs, as the limit's are.
void BM_ReadRegExPipe(benchmark::State& State) {
  const std::string& data = Numbers();
  size_t n = 0;
  for (auto _ : State) n = OverPipe(data, WalkNumbers);
  State.counters["matches"] = static_cast<double>(n);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Numbers().size()));
}
BENCHMARK(BM_ReadRegExPipe)->Unit(benchmark::kMillisecond)->UseRealTime();

// The limits' pattern, \d+ in UTF mode, with its match data.
struct TDigitsPattern {
  pcre2_code* Code;
  pcre2_match_data* Data;
  TDigitsPattern() {
    int error = 0;
    PCRE2_SIZE offset = 0;
    Code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>("\\d+"), 3, PCRE2_UTF, &error, &offset,
                         nullptr);
    Data = pcre2_match_data_create_from_pattern(Code, nullptr);
  }
  ~TDigitsPattern() {
    pcre2_match_data_free(Data);
    pcre2_code_free(Code);
  }
  TDigitsPattern(const TDigitsPattern&) = delete;
  TDigitsPattern& operator=(const TDigitsPattern&) = delete;
};

// PCRE2 over the same bytes in memory, each match copied out as the
// generator hands it out. The limit for the project's match reads, which
// decode, search chunk by chunk and switch to the consumer per match.
void BM_Pcre2InMemory(benchmark::State& State) {
  const std::string& data = Numbers();
  const TDigitsPattern pattern;
  pcre2_code* const code = pattern.Code;
  pcre2_match_data* const md = pattern.Data;
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(data.data());
  size_t n = 0;
  for (auto _ : State) {
    n = 0;
    PCRE2_SIZE at = 0;
    // The subject is checked as UTF-8 by the first search only.
    uint32_t options = 0;
    while (pcre2_match(code, subject, data.size(), at, options, md, nullptr) > 0) {
      options = PCRE2_NO_UTF_CHECK;
      const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
      std::string s(data.data() + ov[0], ov[1] - ov[0]);
      benchmark::DoNotOptimize(s.data());
      ++n;
      at = ov[1] > ov[0] ? ov[1] : ov[0] + 1;
    }
  }
  State.counters["matches"] = static_cast<double>(n);
}
BENCHMARK(BM_Pcre2InMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifndef _WIN32
// cp1251 to UTF-8 by a table: the least a decoder does per byte.
struct TCp1251Table {
  std::array<std::array<char, 4>, 256> Bytes{};
  TCp1251Table() {
    for (int b = 0; b < 256; ++b) {
      const std::string s = TEncoding::Cp1251()->GetString(std::string(1, static_cast<char>(b)));
      Bytes[b][0] = static_cast<char>(s.size());
      std::memcpy(&Bytes[b][1], s.data(), std::min<size_t>(s.size(), 3));
    }
  }
  void Decode(const char* P, size_t N, std::string& Out) const {
    Out.clear();
    for (size_t i = 0; i < N; ++i) {
      const auto& e = Bytes[static_cast<uint8_t>(P[i])];
      Out.append(&e[1], static_cast<size_t>(e[0]));
    }
  }
};

// Data written into a kernel pipe by a thread in 64 KiB writes; the read
// end is Fd, closed with the object.
class TKernelPipe {
 public:
  explicit TKernelPipe(const std::string& Data) {
    if (pipe(FFds) != 0) throw std::runtime_error("pipe");
    FWriter = std::thread([this, &Data] {
      for (size_t at = 0; at < Data.size();) {
        const ssize_t w = write(FFds[1], Data.data() + at, std::min<size_t>(64 << 10, Data.size() - at));
        if (w <= 0) break;
        at += static_cast<size_t>(w);
      }
      close(FFds[1]);
    });
  }
  ~TKernelPipe() {
    FWriter.join();
    close(FFds[0]);
  }
  int Fd() const { return FFds[0]; }

 private:
  int FFds[2];
  std::thread FWriter;
};

// The limit of match reads: 64 KiB reads of a kernel pipe and PCRE2 over
// the bytes received, with the project's rules: a complete match is taken
// where it ends, and only when there is none does a hard partial search
// tell where one could still begin; that tail, and a character cut by a
// read, wait for the next read. Each match is copied out; each byte is
// checked as UTF-8 once, by the first search after the read that brought it.
void BM_Pcre2Pipe(benchmark::State& State) {
  const std::string& data = Numbers();
  const TDigitsPattern pattern;
  pcre2_code* const code = pattern.Code;
  pcre2_match_data* const md = pattern.Data;
  std::string buf(128 << 10, '\0');
  size_t n = 0;
  for (auto _ : State) {
    TKernelPipe pipe(data);
    n = 0;
    size_t have = 0;
    for (bool end = false; !end;) {
      if (have == buf.size()) buf.resize(buf.size() * 2);
      const ssize_t r = read(pipe.Fd(), buf.data() + have, buf.size() - have);
      end = r <= 0;
      if (!end) have += static_cast<size_t>(r);
      // The subject ends before a character the read cut.
      size_t whole = have;
      for (size_t back = 1; !end && back <= 3 && back <= have; ++back) {
        const auto c = static_cast<uint8_t>(buf[have - back]);
        if ((c & 0xC0) != 0x80) {
          const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
          if (need > back) whole = have - back;
          break;
        }
      }
      const auto* subject = reinterpret_cast<PCRE2_SPTR>(buf.data());
      PCRE2_SIZE at = 0;
      size_t keep = whole;
      uint32_t options = 0;
      for (;;) {
        if (pcre2_match(code, subject, whole, at, options, md, nullptr) > 0) {
          options = PCRE2_NO_UTF_CHECK;
          const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
          std::string s(buf.data() + ov[0], ov[1] - ov[0]);
          benchmark::DoNotOptimize(s.data());
          ++n;
          at = ov[1] > ov[0] ? ov[1] : ov[0] + 1;
          continue;
        }
        if (!end && pcre2_match(code, subject, whole, at, PCRE2_NO_UTF_CHECK | PCRE2_PARTIAL_HARD,
                                md, nullptr) == PCRE2_ERROR_PARTIAL)
          keep = pcre2_get_ovector_pointer(md)[0];
        break;
      }
      std::memmove(buf.data(), buf.data() + keep, have - keep);
      have -= keep;
    }
  }
  State.counters["matches"] = static_cast<double>(n);
}
BENCHMARK(BM_Pcre2Pipe)->Unit(benchmark::kMillisecond)->UseRealTime();

// The limit: 64 KiB reads of a kernel pipe, lines cut with memchr at LF
// (a line that spans reads is carried over), each decoded into a string.
void BM_RawReadSplitDecode(benchmark::State& State) {
  const std::string& data = Lines60();
  static const TCp1251Table table;
  size_t total = 0;
  for (auto _ : State) {
    TKernelPipe pipe(data);
    std::string buf(64 << 10, '\0'), carry, line;
    total = 0;
    for (;;) {
      const ssize_t r = read(pipe.Fd(), buf.data(), buf.size());
      if (r <= 0) break;
      const char* p = buf.data();
      const char* end = p + r;
      while (const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p))) {
        const char* from = p;
        size_t len = static_cast<size_t>(lf - p);
        if (!carry.empty()) {
          carry.append(p, len);
          from = carry.data();
          len = carry.size();
        }
        if (len > 0 && from[len - 1] == '\r') --len;
        table.Decode(from, len, line);
        benchmark::DoNotOptimize(line.data());
        total += line.size();
        carry.clear();
        p = lf + 1;
      }
      carry.append(p, static_cast<size_t>(end - p));
    }
  }
  State.counters["text_bytes"] = static_cast<double>(total);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * data.size()));
}
BENCHMARK(BM_RawReadSplitDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace
}  // namespace green
