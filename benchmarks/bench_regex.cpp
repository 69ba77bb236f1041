// The pattern engine over a 1 MB text: a literal search, a character-class loop, an alternation, a
// case-insensitive match and a catastrophic pattern under a poll. Baselines in the same run: memmem for
// the literal, a plain byte loop for the scans, and the unpolled search for the poll's cost.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "api.hpp"
#include "exec.hpp"

namespace {

using zarnu_regex::api::Regex;

// About 1 MB of words from a fixed generator, with a few rare words spread through it.
const std::string& text() {
  static const std::string t = [] {
    const char* words[] = {"the",  "of",    "and",   "to",   "in",   "was", "he",  "that",
                           "it",   "his",   "her",   "with", "as",   "had", "for", "said",
                           "upon", "which", "there", "been", "into", "room"};
    std::string out;
    std::uint64_t x = 42;
    while (out.size() < (1 << 20)) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      out += words[(x >> 33) % (sizeof words / sizeof *words)];
      out += (x >> 20) % 11 == 0 ? ".\n" : " ";
      if ((x >> 40) % 5000 == 0) out += "Holmes ";
    }
    out += "Moriarty";
    return out;
  }();
  return t;
}

Regex compile(const char* pattern, const char* flags = "") {
  auto r = Regex::from_utf8(pattern, flags);
  if (!r) throw std::runtime_error(r.error().text);
  return std::move(*r);
}

// Counts every match of a pattern through the text.
void count_matches(benchmark::State& state, const char* pattern, const char* flags) {
  const Regex re = compile(pattern, flags);
  const std::string& t = text();
  std::size_t n = 0;
  for (auto _ : state) {
    zarnu_regex::exec::Matches it(re, t, 0);
    n = 0;
    while (it.next()) ++n;
    benchmark::DoNotOptimize(n);
  }
  state.counters["matches"] = static_cast<double>(n);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

void BM_Baseline_Memmem(benchmark::State& state) {
  const std::string& t = text();
  for (auto _ : state) benchmark::DoNotOptimize(memmem(t.data(), t.size(), "Moriarty", 8));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_Baseline_Memmem);

void BM_Literal(benchmark::State& state) {
  const Regex re = compile("Moriarty");
  const std::string& t = text();
  for (auto _ : state) benchmark::DoNotOptimize(re.find_from(t));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_Literal);

// The byte loop any scan has to beat: counts word bytes.
void BM_Baseline_ByteLoop(benchmark::State& state) {
  const std::string& t = text();
  for (auto _ : state) {
    std::size_t n = 0;
    for (unsigned char c : t) n += (c >= 'a' && c <= 'z');
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_Baseline_ByteLoop);

void BM_ClassLoop(benchmark::State& state) {
  count_matches(state, "[a-z]+ch", "");
}
BENCHMARK(BM_ClassLoop);

void BM_Alternation(benchmark::State& state) {
  count_matches(state, "Holmes|Watson|Moriarty|Hudson", "");
}
BENCHMARK(BM_Alternation);

void BM_CaseInsensitive(benchmark::State& state) {
  count_matches(state, "holmes", "i");
}
BENCHMARK(BM_CaseInsensitive);

void BM_WordsAtLineEnds(benchmark::State& state) {
  count_matches(state, "\\w+\\.$", "m");
}
BENCHMARK(BM_WordsAtLineEnds);

const std::string kCatastrophic(22, 'a');

void BM_Catastrophic_Plain(benchmark::State& state) {
  const Regex re = compile("(a+)+b");
  for (auto _ : state) benchmark::DoNotOptimize(re.find_from(kCatastrophic));
}
BENCHMARK(BM_Catastrophic_Plain)->Unit(benchmark::kMillisecond);

void BM_Catastrophic_Polled(benchmark::State& state) {
  const Regex re = compile("(a+)+b");
  std::size_t asked = 0;
  auto never = [&] {
    ++asked;
    return false;
  };
  for (auto _ : state)
    benchmark::DoNotOptimize(
        re.find_from_interruptible(kCatastrophic, 0, zarnu_regex::interrupt::Callback::of(never)));
  state.counters["polls"] = static_cast<double>(asked) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Catastrophic_Polled)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
