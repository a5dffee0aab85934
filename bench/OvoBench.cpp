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
  const std::string Piece = Text;
  std::string Line;
  while (Line.size() + 2 < Length) Line += Piece.substr(0, Length - 2 - Line.size());
  Line += "\r\n";
  std::string Out;
  Out.reserve(Total);
  while (Out.size() + Line.size() <= Total) Out += Line;
  return Out;
}

const std::string& Lines60() {
  static const std::string Data = MakeLines(60, 64u << 20);
  return Data;
}

// Reads Data through the project's pipe, written by a thread with a hub of
// its own, and returns what Consume counted.
template <class TConsume>
size_t OverPipe(const std::string& Data, TConsume Consume) {
  THandle Rd = os::kNoHandle, Wr = os::kNoHandle;
  if (!os::CreatePipe(Rd, Wr)) return 0;
  std::thread Writer([&] {
    TSingleThreadHub Hub;
    TCurrentHubScope Scope(&Hub);
    RefPtr<TPipeProvider> Out(new TPipeProvider(Wr));
    Out->Write(Data.data(), static_cast<int32_t>(Data.size()));
    Out.reset();
    os::CloseHandle(Wr);
  });
  size_t N = 0;
  {
    TSingleThreadHub Hub;
    TCurrentHubScope Scope(&Hub);
    RefPtr<TPipeProvider> In(new TPipeProvider(Rd));
    N = Consume(*In);
  }
  Writer.join();
  os::CloseHandle(Rd);
  return N;
}

size_t WalkLines(TOvoProvider& Prov) {
  Prov.SetEncoding(*TEncoding::Cp1251());
  size_t N = 0;
  for (const std::string& S : Prov.ReadLns()) {
    benchmark::DoNotOptimize(S.data());
    N += S.size();
  }
  return N;
}

void BM_ReadLnsPipe(benchmark::State& State) {
  const std::string& Data = Lines60();
  size_t N = 0;
  for (auto _ : State) N = OverPipe(Data, WalkLines);
  State.counters["text_bytes"] = static_cast<double>(N);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Data.size()));
}
BENCHMARK(BM_ReadLnsPipe)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same bytes through the same reader, cut into lines of Arg bytes.
void BM_ReadLnsLineLength(benchmark::State& State) {
  const std::string Data = MakeLines(static_cast<size_t>(State.range(0)), 16u << 20);
  for (auto _ : State) benchmark::DoNotOptimize(OverPipe(Data, WalkLines));
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Data.size()));
}
BENCHMARK(BM_ReadLnsLineLength)
    ->Arg(1024)
    ->Arg(4 << 20)
    ->Arg(16 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

size_t WalkNumbers(TOvoProvider& Prov) {
  Prov.SetEncoding(*TEncoding::UTF8());
  size_t N = 0;
  for (const std::string& S : Prov.ReadRegEx(std::string("\\d+"))) {
    benchmark::DoNotOptimize(S.data());
    ++N;
  }
  return N;
}

const std::string& Numbers() {
  static const std::string Data = MakeLines(60, 16u << 20, kUtf8Text);
  return Data;
}

// The bytes are made before the clock runs, as the limit's are.
void BM_ReadRegExPipe(benchmark::State& State) {
  const std::string& Data = Numbers();
  size_t N = 0;
  for (auto _ : State) N = OverPipe(Data, WalkNumbers);
  State.counters["matches"] = static_cast<double>(N);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Numbers().size()));
}
BENCHMARK(BM_ReadRegExPipe)->Unit(benchmark::kMillisecond)->UseRealTime();

// The limits' pattern, \d+ in UTF mode, with its match data.
struct TDigitsPattern {
  pcre2_code* Code;
  pcre2_match_data* Data;
  TDigitsPattern() {
    int Error = 0;
    PCRE2_SIZE Offset = 0;
    Code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>("\\d+"), 3, PCRE2_UTF, &Error, &Offset,
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
  const std::string& Data = Numbers();
  const TDigitsPattern Pattern;
  pcre2_code* const Code = Pattern.Code;
  pcre2_match_data* const Md = Pattern.Data;
  const auto* Subject = reinterpret_cast<PCRE2_SPTR>(Data.data());
  size_t N = 0;
  for (auto _ : State) {
    N = 0;
    PCRE2_SIZE At = 0;
    // The subject is checked as UTF-8 by the first search only.
    uint32_t Options = 0;
    while (pcre2_match(Code, Subject, Data.size(), At, Options, Md, nullptr) > 0) {
      Options = PCRE2_NO_UTF_CHECK;
      const PCRE2_SIZE* Ov = pcre2_get_ovector_pointer(Md);
      std::string S(Data.data() + Ov[0], Ov[1] - Ov[0]);
      benchmark::DoNotOptimize(S.data());
      ++N;
      At = Ov[1] > Ov[0] ? Ov[1] : Ov[0] + 1;
    }
  }
  State.counters["matches"] = static_cast<double>(N);
}
BENCHMARK(BM_Pcre2InMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifndef _WIN32
// cp1251 to UTF-8 by a table: the least a decoder does per byte.
struct TCp1251Table {
  std::array<std::array<char, 4>, 256> Bytes{};
  TCp1251Table() {
    for (int B = 0; B < 256; ++B) {
      const std::string S = TEncoding::Cp1251()->GetString(std::string(1, static_cast<char>(B)));
      Bytes[B][0] = static_cast<char>(S.size());
      std::memcpy(&Bytes[B][1], S.data(), std::min<size_t>(S.size(), 3));
    }
  }
  void Decode(const char* P, size_t N, std::string& Out) const {
    Out.clear();
    for (size_t I = 0; I < N; ++I) {
      const auto& E = Bytes[static_cast<uint8_t>(P[I])];
      Out.append(&E[1], static_cast<size_t>(E[0]));
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
      for (size_t At = 0; At < Data.size();) {
        const ssize_t W = write(FFds[1], Data.data() + At, std::min<size_t>(64 << 10, Data.size() - At));
        if (W <= 0) break;
        At += static_cast<size_t>(W);
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
  const std::string& Data = Numbers();
  const TDigitsPattern Pattern;
  pcre2_code* const Code = Pattern.Code;
  pcre2_match_data* const Md = Pattern.Data;
  std::string Buf(128 << 10, '\0');
  size_t N = 0;
  for (auto _ : State) {
    TKernelPipe Pipe(Data);
    N = 0;
    size_t Have = 0;
    for (bool End = false; !End;) {
      if (Have == Buf.size()) Buf.resize(Buf.size() * 2);
      const ssize_t R = read(Pipe.Fd(), Buf.data() + Have, Buf.size() - Have);
      End = R <= 0;
      if (!End) Have += static_cast<size_t>(R);
      // The subject ends before a character the read cut.
      size_t Whole = Have;
      for (size_t Back = 1; !End && Back <= 3 && Back <= Have; ++Back) {
        const auto C = static_cast<uint8_t>(Buf[Have - Back]);
        if ((C & 0xC0) != 0x80) {
          const size_t Need = C >= 0xF0 ? 4 : C >= 0xE0 ? 3 : C >= 0xC0 ? 2 : 1;
          if (Need > Back) Whole = Have - Back;
          break;
        }
      }
      const auto* Subject = reinterpret_cast<PCRE2_SPTR>(Buf.data());
      PCRE2_SIZE At = 0;
      size_t Keep = Whole;
      uint32_t Options = 0;
      for (;;) {
        if (pcre2_match(Code, Subject, Whole, At, Options, Md, nullptr) > 0) {
          Options = PCRE2_NO_UTF_CHECK;
          const PCRE2_SIZE* Ov = pcre2_get_ovector_pointer(Md);
          std::string S(Buf.data() + Ov[0], Ov[1] - Ov[0]);
          benchmark::DoNotOptimize(S.data());
          ++N;
          At = Ov[1] > Ov[0] ? Ov[1] : Ov[0] + 1;
          continue;
        }
        if (!End && pcre2_match(Code, Subject, Whole, At, PCRE2_NO_UTF_CHECK | PCRE2_PARTIAL_HARD,
                                Md, nullptr) == PCRE2_ERROR_PARTIAL)
          Keep = pcre2_get_ovector_pointer(Md)[0];
        break;
      }
      std::memmove(Buf.data(), Buf.data() + Keep, Have - Keep);
      Have -= Keep;
    }
  }
  State.counters["matches"] = static_cast<double>(N);
}
BENCHMARK(BM_Pcre2Pipe)->Unit(benchmark::kMillisecond)->UseRealTime();

// The limit: 64 KiB reads of a kernel pipe, lines cut with memchr at LF
// (a line that spans reads is carried over), each decoded into a string.
void BM_RawReadSplitDecode(benchmark::State& State) {
  const std::string& Data = Lines60();
  static const TCp1251Table Table;
  size_t Total = 0;
  for (auto _ : State) {
    TKernelPipe Pipe(Data);
    std::string Buf(64 << 10, '\0'), Carry, Line;
    Total = 0;
    for (;;) {
      const ssize_t R = read(Pipe.Fd(), Buf.data(), Buf.size());
      if (R <= 0) break;
      const char* P = Buf.data();
      const char* End = P + R;
      while (const char* Lf = static_cast<const char*>(std::memchr(P, '\n', End - P))) {
        const char* From = P;
        size_t Len = static_cast<size_t>(Lf - P);
        if (!Carry.empty()) {
          Carry.append(P, Len);
          From = Carry.data();
          Len = Carry.size();
        }
        if (Len > 0 && From[Len - 1] == '\r') --Len;
        Table.Decode(From, Len, Line);
        benchmark::DoNotOptimize(Line.data());
        Total += Line.size();
        Carry.clear();
        P = Lf + 1;
      }
      Carry.append(P, static_cast<size_t>(End - P));
    }
  }
  State.counters["text_bytes"] = static_cast<double>(Total);
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Data.size()));
}
BENCHMARK(BM_RawReadSplitDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace
}  // namespace green
